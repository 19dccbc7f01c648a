// Calls every declaration of bindings/Ostrel.cs through Mono, against libostrel-sim.so (a dllmap).
//   mono binding_test.exe <examples/bench.json> <scratch folder for the log>
using System;
using System.Collections.Concurrent;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using Ostrel;
using static Ostrel.OstrelApi;

static class BindingTest
{
    [DllImport(Library)] static extern int ostrel_sim_set_documents_folder(string path);
    [DllImport(Library)] static extern int ostrel_sim_load_bench(string path);
    [DllImport(Library)] static extern int ostrel_sim_plug(string instrumentJson);
    [DllImport(Library)] static extern int ostrel_sim_unplug(int slot);

    static int passed, failed;

    static void Check(bool ok, string what, object got = null)
    {
        if (ok) ++passed; else ++failed;
        Console.WriteLine((ok ? "ok   - " : "FAIL - ") + what + (ok || got == null ? "" : $" (got {got})"));
    }

    static string Ascii(byte[] buffer, uint length) => Encoding.ASCII.GetString(buffer, 0, (int)length);

    static void Transfers(string[] keys, int[] ids)
    {
        var reply = new byte[64];
        uint length;
        Check(vorn_usb_write_by_key(keys[0], "*IDN?", 0) == 0 && vorn_usb_read_ascii_by_key(keys[0], reply, 64, out length) == 0 &&
              Ascii(reply, length) == "VORN 2936-R 1.0.3 01/02/24 SN12345", "a query by key", Ascii(reply, 64));
        Check(vorn_usb_send_ascii(ids[0], "MEAS:VOLT?", 0) == 0 &&
              vorn_usb_get_ascii_by_DeviceID(ids[0], reply, 64, out length) == 0 && Ascii(reply, length) == "1.234",
              "a query by device ID", Ascii(reply, 64));
        // The echoing instrument hands binary bytes back unchanged, NUL and line ends included.
        byte[] data = { 0x00, 0xFF, 0x10, 0x0D, 0x0A, 0x41 };
        Check(vorn_usb_write_binary_by_key(keys[2], data, (uint)data.Length) == 0 &&
              vorn_usb_read_by_key(keys[2], reply, 64, out length) == 0 && reply.Take((int)length).SequenceEqual(data),
              "a binary round trip by key");
        Check(vorn_usb_send_binary(ids[2], data, 3) == 0 && vorn_usb_get_ascii(ids[2], reply, 64, out length) == 0 &&
              reply.Take((int)length).SequenceEqual(data.Take(3)), "a binary round trip by device ID");
    }

    static void Listings(string[] keys)
    {
        int[] ids = new int[3], models = new int[3], serials = new int[3];
        Check(GetInstrumentList(ids, models, serials, out int count) == 0 && count == 3 &&
              string.Join(" ", models.Concat(serials)) == "2936 2940 2955 12345 20871 30502", "GetInstrumentList fills the int arrays");
        var key = new byte[KeyLength];
        vorn_usb_GetDeviceKeyFromDeviceID(ids[1], key);
        Check(Text(key) == keys[1], "vorn_usb_GetDeviceKeyFromDeviceID", Text(key));
        var info = new byte[KeyLength * 3 + 1];
        Check(vorn_usb_get_device_info(info) == 0 && Text(info).StartsWith($"{ids[0]},VORN 2936-R 1.0.3 01/02/24 SN12345;"),
              "vorn_usb_get_device_info", Text(info));
        using (var registered = new KeyBuffers(3)) {
            var registeredIds = new int[3];
            Check(vorn_usb_event_get_attached_devices(registered.Pointers, registeredIds) == 0 &&
                  registered.Read(3).SequenceEqual(keys) && registeredIds.SequenceEqual(ids), "the key registry lists every key");
            Check(vorn_usb_get_model_serial_keys(registered.Pointers) == 0 && registered.Read(3).SequenceEqual(keys),
                  "vorn_usb_get_model_serial_keys lists them by ID");
        }
        Check(vorn_usb_event_assign_key("X 1", 77) == 0 && vorn_usb_event_get_key_from_handle(77, key) == 0 &&
              Text(key) == "X 1" && vorn_usb_event_remove_key("X 1") == 0 && vorn_usb_event_remove_key("X 1") == -1,
              "a key assigned, found by its ID and removed once");
        Transfers(keys, ids);
    }

    // The delegate is referenced by nothing but the bindings: a collection must not free
    // what the watcher thread calls.
    static void EventMode()
    {
        vorn_usb_uninit_system();
        var events = new BlockingCollection<string>();
        Check(vorn_usb_event_init(0, (id, attached) => events.Add($"{id}:{attached}")) == 0 && events.Count == 3,
              "vorn_usb_event_init reports the three instruments present before it returns", events.Count);
        while (events.TryTake(out _)) { }
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
        int slot = ostrel_sim_plug("{\"vid\": 6699, \"pid\": 10550, \"serial\": \"SN4\", \"replies\": " +
                                   "{\"*IDN?\": \"VORN 2936-R 1.0.3 01/02/24 SN4\\r\\n\"}}");
        Check(events.TryTake(out string arrived, 10000) && arrived.EndsWith(":1"), "a plug reaches the delegate", arrived);
        ostrel_sim_unplug(slot);
        Check(events.TryTake(out string removed, 10000) && removed == arrived?.Replace(":1", ":0"), "an unplug reaches it too",
              removed);
        vorn_usb_uninit_system();
    }

    static int Main(string[] args)
    {
        ostrel_sim_set_documents_folder(args[1]);
        vorn_usb_SetLogging(true);
        vorn_usb_SetTraceLog(false);
        Check(ostrel_sim_load_bench(args[0]) == 3, "the bench plugs its three instruments");
        Check(GetOSName() == "Linux", "vorn_usb_GetOSName fills the 14-char buffer", GetOSName());
        Check(vorn_usb_open_devices(0, false, out int count) == 0 && count == 3, "vorn_usb_open_devices finds three", count);
        Check(vorn_usb_init_system() == 0 && vorn_usb_init_product(10550) == 0 && vorn_usb_GetDeviceCount() == 3,
              "scanning again leaves them as they are");
        string[] keys = GetDeviceKeys();
        Check(string.Join(",", keys) == "2936-R SN12345,2940-T SN20871,2955-L SN30502", "vorn_usb_GetDeviceKeys fills char**",
              string.Join(",", keys));
        if (keys.Length == 3)
            Listings(keys);
        EventMode();
        Console.WriteLine($"{passed} passed, {failed} failed");
        return failed == 0 && passed > 0 ? 0 : 1;
    }
}
