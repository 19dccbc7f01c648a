// C# declarations (P/Invoke) of the 26 functions of Ostrel.dll, as ostrel.h declares them.
//
// Add this file to a project that targets x64 (Ostrel.dll is 64-bit only). The
// functions keep their C names; include/ostrel.h documents each one. Where the
// C signature needs care from .NET, a helper below does it:
//  - key arrays (char **): KeyBuffers allocates the 64-char buffers and reads them back;
//  - the device-event callback: vorn_usb_event_init keeps the delegate alive for
//    as long as the library may call it (until another callback replaces it);
//  - one-byte C booleans are marshalled as U1 (not as .NET's four-byte default);
//  - the OS name needs a 14-char buffer: GetOSName() returns it as a string.
// Text goes in and out as ANSI bytes; binary data as byte arrays, never strings.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Ostrel
{
    /// <summary>Called for every instrument entering (attached 1) or leaving (attached 0) the device table.</summary>
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void DeviceEventCallback(int deviceID, int attached);

    public static class OstrelApi
    {
        /// <summary>Ostrel.dll; on Linux under Mono a dllmap names libostrel.so.0 or libostrel-sim.so.0.</summary>
        public const string Library = "Ostrel";
        /// <summary>Chars of every key buffer, its NUL included.</summary>
        public const int KeyLength = 64;
        /// <summary>Chars of the buffer vorn_usb_GetOSName fills, its NUL included.</summary>
        public const int OSNameLength = 14;

        const CallingConvention Call = CallingConvention.StdCall;

        // ---- Transfers: 0 success, -1 failure. Reads fill buffer with up to length bytes.

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_send_ascii(int deviceID, [MarshalAs(UnmanagedType.LPStr)] string text, uint length);

        /// <summary>Binary read by device ID, whatever the name says.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_get_ascii(int deviceID, [Out] byte[] buffer, uint length, out uint bytesRead);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_get_ascii_by_DeviceID(int deviceID, [Out] byte[] buffer, uint length, out uint bytesRead);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_send_binary(int deviceID, byte[] data, uint length);

        /// <summary>Binary read by device key.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_read_by_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey, [Out] byte[] buffer,
                                                      uint length, out uint bytesRead);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_read_ascii_by_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey, [Out] byte[] buffer,
                                                            uint length, out uint bytesRead);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_write_by_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey,
                                                       [MarshalAs(UnmanagedType.LPStr)] string text, uint length);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_write_binary_by_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey, byte[] data,
                                                              uint length);

        // ---- Static discovery: 1 if two instruments share an ID, 0 otherwise, -1 on failure.

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_init_system();

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_init_product(uint productID);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_open_devices(uint productID, [MarshalAs(UnmanagedType.U1)] bool useUSBAddress,
                                                       out int deviceCount);

        // ---- Event mode and shutdown

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true, EntryPoint = "vorn_usb_event_init")]
        static extern int EventInit(uint productID, DeviceEventCallback callback);

        static readonly object callbackLock = new object();
        static readonly System.Collections.Generic.List<DeviceEventCallback> keptCallbacks =
            new System.Collections.Generic.List<DeviceEventCallback>();
        static int callsStarted, callsRunning;

        /// <summary>Event mode. The library keeps calling the callback after vorn_usb_uninit_system
        /// (static discovery reports to it too), so the delegate stays referenced here until a
        /// later call replaces it: the garbage collector must never free what native code calls.</summary>
        public static int vorn_usb_event_init(uint productID, DeviceEventCallback callback)
        {
            int ticket;
            lock (callbackLock) {
                keptCallbacks.Add(callback);
                ticket = ++callsStarted;
                ++callsRunning;
            }
            try {
                // Not under the lock: a callback on the watcher thread may call this too.
                return EventInit(productID, callback);
            } finally {
                lock (callbackLock) {
                    // A call that ran alone knows the library holds its callback and no earlier
                    // one; after overlapping calls, which one won is unknown, so all stay.
                    if (--callsRunning == 0 && ticket == callsStarted) {
                        keptCallbacks.Clear();
                        keptCallbacks.Add(callback);
                    }
                }
            }
        }

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern void vorn_usb_uninit_system();

        // ---- Listings of the device table

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_GetDeviceCount();

        /// <summary>keyBuffers: KeyBuffers.Pointers, one per instrument (vorn_usb_GetDeviceCount()).</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_GetDeviceKeys(IntPtr[] keyBuffers);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern void vorn_usb_GetDeviceKeyFromDeviceID(int deviceID, [Out] byte[] keyBuffer);

        /// <summary>buffer: KeyLength bytes per instrument, plus one.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_get_device_info([Out] byte[] buffer);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int GetInstrumentList([Out] int[] deviceIDs, [Out] int[] models, [Out] int[] serialNumbers,
                                                   out int count);

        // ---- The key registry: arrays need one entry per registered key.

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_event_assign_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey, int deviceID);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_event_remove_key([MarshalAs(UnmanagedType.LPStr)] string deviceKey);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_event_get_attached_devices(IntPtr[] keyBuffers, [Out] int[] deviceIDs);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_event_get_key_from_handle(int deviceID, [Out] byte[] keyBuffer);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern int vorn_usb_get_model_serial_keys(IntPtr[] keyBuffers);

        // ---- Logging and system information

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern void vorn_usb_SetLogging([MarshalAs(UnmanagedType.U1)] bool on);

        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern void vorn_usb_SetTraceLog([MarshalAs(UnmanagedType.U1)] bool on);

        /// <summary>buffer: OSNameLength bytes at least.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        public static extern void vorn_usb_GetOSName([Out] byte[] buffer);

        // ---- Helpers

        /// <summary>The text of a NUL-terminated ANSI buffer.</summary>
        public static string Text(byte[] buffer)
        {
            int end = Array.IndexOf(buffer, (byte)0);
            return Encoding.Default.GetString(buffer, 0, end < 0 ? buffer.Length : end);
        }

        public static string GetOSName()
        {
            var name = new byte[OSNameLength];
            vorn_usb_GetOSName(name);
            return Text(name);
        }

        /// <summary>Every device key in key order. In event mode instruments may arrive between
        /// the count and the copy: the buffers leave room for some.</summary>
        public static string[] GetDeviceKeys()
        {
            using (var keys = new KeyBuffers(vorn_usb_GetDeviceCount() + 16)) {
                return keys.Read(vorn_usb_GetDeviceKeys(keys.Pointers));
            }
        }
    }

    /// <summary>The char ** of the key functions: count buffers of KeyLength chars in unmanaged
    /// memory, freed by Dispose.</summary>
    public sealed class KeyBuffers : IDisposable
    {
        public IntPtr[] Pointers { get; }

        public KeyBuffers(int count)
        {
            Pointers = new IntPtr[Math.Max(count, 0)];
            for (int i = 0; i < Pointers.Length; ++i) {
                Pointers[i] = Marshal.AllocHGlobal(OstrelApi.KeyLength);
                Marshal.WriteByte(Pointers[i], 0);
            }
        }

        /// <summary>The first count keys as strings.</summary>
        public string[] Read(int count)
        {
            var keys = new string[Math.Max(0, Math.Min(count, Pointers.Length))];
            for (int i = 0; i < keys.Length; ++i)
                keys[i] = Marshal.PtrToStringAnsi(Pointers[i]);
            return keys;
        }

        public void Dispose()
        {
            for (int i = 0; i < Pointers.Length; ++i) {
                Marshal.FreeHGlobal(Pointers[i]);
                Pointers[i] = IntPtr.Zero;
            }
        }
    }
}
