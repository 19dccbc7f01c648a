/* ostrel.h - the whole public API of Ostrel, a USB instrument library.
 *
 * Ostrel finds the laboratory instruments attached by USB, identifies them
 * ("*IDN?" gives each one its device key, "ADDR?" its device ID), carries ASCII
 * command lines and binary blocks to them and their replies back, and follows
 * instruments being plugged in and unplugged.
 *
 * Conventions of every function below:
 *  - Results: 0 is success and -1 failure, unless the function says otherwise.
 *  - A device key is NUL-terminated text: the instrument's model, a blank and
 *    its serial field, cut from its "*IDN?" reply. Key buffers passed in must
 *    hold 64 chars each; the library never writes more than 64 (63 + NUL).
 *  - A device ID is an int: the instrument's "ADDR?" reply when discovery uses
 *    USB addresses, otherwise a number counted from 0. It is not guaranteed to
 *    be unique; lookups by ID take the first instrument in key order.
 *    (Some names below call it a handle.)
 *  - Arrays of ints are sized by the caller: for the device table take the
 *    size from vorn_usb_GetDeviceCount(), for the key registry from the number
 *    of keys registered.
 *  - Bad input never crashes: a null pointer where a buffer, key or
 *    out-parameter is needed gives the failure value, writes none of the
 *    out-parameters, and leaves an error line in the log.
 *  - Every function may be called from any thread, also from inside the
 *    device-event callback. Transfers to different instruments run in
 *    parallel.
 *  - The first call of any function opens the log file
 *    (Documents/Log/Log<YYYY-MM-DD>_Native.txt, or in the folder the
 *    environment variable OSTREL_LOG_DIR names); error lines are always
 *    written, data lines only with vorn_usb_SetLogging(1), trace lines only
 *    with vorn_usb_SetTraceLog(1).
 */
#ifndef OSTREL_H
#define OSTREL_H

/* The platform's standard calling convention: the one thing about the platform
 * a caller's compiler must know (it has no effect on x64, but 32-bit callers'
 * declarations of the callback must say it). */
#ifdef _WIN32
#define OSTREL_CALL __stdcall
#else
#define OSTREL_CALL
#endif

#ifndef OSTREL_API
#define OSTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

/* Called once for every instrument that enters the device table (attached 1)
 * and once for every instrument that leaves it (attached 0), with that
 * instrument's device ID, one call at a time and in the order the changes
 * were found. It runs on the thread that scanned - the caller's during
 * vorn_usb_event_init and static discovery, the library's watcher thread for
 * hot-plug changes - unless another thread is delivering events at that
 * moment, which then delivers these too. It runs outside every lock of the
 * library: it may call any function of this header, and while it blocks
 * (waiting, say, for a program's main thread) every function stays callable
 * from every other thread, rescans and vorn_usb_event_init included.
 *
 * vorn_usb_uninit_system never waits for a callback: it returns promptly even
 * while one is blocked (waiting, say, for the very thread that called uninit),
 * from any thread, the watcher's own callback included. No callback starts
 * after uninit has returned. One already running may finish afterwards; it may
 * still call into the library, which it then finds shut down (or started
 * again), and once it returns its watcher touches nothing and ends. */
typedef void(OSTREL_CALL *DeviceEventCallback)(int deviceID, int attached);

/* ---- Transfers ----------------------------------------------------------
 * Every transfer waits at most the instrument's pipe time-out (1000 ms).
 * A key or device ID that the device table does not hold gives -1, touches no
 * instrument and logs an error line naming it.
 *
 * ASCII writes send the text up to its NUL and append a carriage return
 * unless the text already ends in one; `length` is not used (a null text: -1).
 * Binary writes send exactly `length` bytes (NULs included) and add nothing.
 *
 * ASCII reads cut the reply at its last line end (CR, LF or CR LF; anything
 * after it is dropped) and hand it back NUL-terminated; *bytesRead is the
 * text's length. A reply without any line end is handed back whole when it
 * fits with its NUL; a reply that fills the whole buffer without a line end
 * fails (-1) and is logged, so the text never runs past `length`.
 * Binary reads hand back the bytes unchanged (no NUL added); *bytesRead counts
 * them. A read of nothing within the time-out gives -1 and *bytesRead 0. */

/* ASCII write by device ID. */
OSTREL_API int OSTREL_CALL vorn_usb_send_ascii(int deviceID, char *buffer, unsigned length);
/* Binary read by device ID (binary, whatever the name says). */
OSTREL_API int OSTREL_CALL vorn_usb_get_ascii(int deviceID, char *buffer, unsigned length,
                                              unsigned *bytesRead);
/* ASCII read by device ID. */
OSTREL_API int OSTREL_CALL vorn_usb_get_ascii_by_DeviceID(int deviceID, char *buffer,
                                                          unsigned length, unsigned *bytesRead);
/* Binary write by device ID. */
OSTREL_API int OSTREL_CALL vorn_usb_send_binary(int deviceID, char *buffer, unsigned length);
/* Binary read by device key. */
OSTREL_API int OSTREL_CALL vorn_usb_read_by_key(const char *deviceKey, char *buffer,
                                                unsigned length, unsigned *bytesRead);
/* ASCII read by device key. */
OSTREL_API int OSTREL_CALL vorn_usb_read_ascii_by_key(const char *deviceKey, char *buffer,
                                                      unsigned length, unsigned *bytesRead);
/* ASCII write by device key. */
OSTREL_API int OSTREL_CALL vorn_usb_write_by_key(const char *deviceKey, char *buffer,
                                                 unsigned length);
/* Binary write by device key. */
OSTREL_API int OSTREL_CALL vorn_usb_write_binary_by_key(const char *deviceKey, char *buffer,
                                                        unsigned length);

/* ---- Static discovery -----------------------------------------------------
 * One scan on the caller's thread: every instrument of the interface class
 * whose USB product ID matches (0: any) is opened, identified and entered in
 * the device table; then every key of the table is registered in the key
 * registry (existing registrations are kept or updated, never removed).
 * Calling again scans again: instruments already known are left alone. */

/* Static discovery of every product, device IDs from "ADDR?". Result as
 * vorn_usb_init_product. */
OSTREL_API int OSTREL_CALL vorn_usb_init_system(void);
/* Static discovery of one product, device IDs from "ADDR?". 1 if two
 * instruments report the same address, otherwise 0; -1 on failure. */
OSTREL_API int OSTREL_CALL vorn_usb_init_product(unsigned productID);
/* Static discovery with the device-ID rule chosen: useUSBAddress, one byte,
 * non-zero takes IDs from "ADDR?", 0 numbers the instruments 0, 1, 2, ... in
 * discovery order (continuing across scans until vorn_usb_uninit_system).
 * Writes the number of instruments in the table to *deviceCount (required).
 * Returns 1 when IDs come from "ADDR?" and two instruments share one,
 * otherwise 0; -1 on failure (null deviceCount). */
OSTREL_API int OSTREL_CALL vorn_usb_open_devices(unsigned productID, unsigned char useUSBAddress,
                                                 int *deviceCount);

/* ---- Event mode and shutdown ---------------------------------------------- */

/* Stores the callback (null: nobody is told), scans once on the caller's
 * thread - the callback has been called with attached 1 for every instrument
 * found before this returns, unless a callback of another thread was running
 * then, in which case that thread delivers them next - and starts the watcher thread that rescans at
 * every plug and unplug. A second call while the watcher runs stores the
 * callback and product ID and scans, but starts no second watcher. 0 (also
 * when the watcher could not start, which is logged); -1 if the library could
 * not be set up (the callback is stored all the same). */
OSTREL_API int OSTREL_CALL vorn_usb_event_init(unsigned productID, DeviceEventCallback callback);
/* Ends static or event mode: empties the key registry, stops the watcher,
 * closes every instrument (a transfer under way on it fails at once, also one
 * that would wait without a time-out) and empties the device table. It never
 * waits on the application: see DeviceEventCallback for what a callback still
 * running may assume. The callback and the log switches stay. Safe to call any
 * number of times, from any thread, also from inside the callback. */
OSTREL_API void OSTREL_CALL vorn_usb_uninit_system(void);

/* ---- Listings of the device table (instruments present now) ---------------- */

/* Number of instruments in the device table; 0 on failure. */
OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceCount(void);
/* Copies every device key, in ascending key order, into keyBuffers[0..n-1]
 * (64 chars each; the array must have vorn_usb_GetDeviceCount() entries).
 * Returns n; 0 on failure (null array or a null entry). */
OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceKeys(char **keyBuffers);
/* Copies the key of the first instrument (in key order) with this device ID
 * into keyBuffer (64 chars); the empty text if none has it. Null keyBuffer:
 * nothing written. */
OSTREL_API void OSTREL_CALL vorn_usb_GetDeviceKeyFromDeviceID(int deviceID, char *keyBuffer);
/* Writes "<ID>,<identity reply>;" for every instrument, in key order, as one
 * NUL-terminated text. The buffer needs 64 chars per instrument plus one.
 * With an empty table the buffer is left exactly as it was. -1 on null. */
OSTREL_API int OSTREL_CALL vorn_usb_get_device_info(char *buffer);
/* For instrument i in key order writes deviceIDs[i], models[i] (the number
 * at the start of the key, 0 if none) and serialNumbers[i] (the digits after
 * the key's first blank, letters before them skipped; 0 if the key has no
 * blank or no digit after it), then *count. Each array needs
 * vorn_usb_GetDeviceCount() entries. -1 if any pointer is null. */
OSTREL_API int OSTREL_CALL GetInstrumentList(int *deviceIDs, int *models, int *serialNumbers,
                                             int *count);

/* ---- The key registry (a caller-kept map of device key to device ID) -------
 * Filled by static discovery, kept by the caller in event mode, emptied only
 * by vorn_usb_uninit_system. Keys of instruments that have gone stay until
 * removed. */

/* Registers key -> deviceID, replacing the key's earlier ID. -1 on null key. */
OSTREL_API int OSTREL_CALL vorn_usb_event_assign_key(const char *deviceKey, int deviceID);
/* Removes a key: 0 if it was registered, -1 if not (or null). */
OSTREL_API int OSTREL_CALL vorn_usb_event_remove_key(const char *deviceKey);
/* For the i-th registered key in ascending key order writes the key to
 * keyBuffers[i] (64 chars) and its ID to deviceIDs[i]; both arrays need one
 * entry per registered key. -1 on null. */
OSTREL_API int OSTREL_CALL vorn_usb_event_get_attached_devices(char **keyBuffers, int *deviceIDs);
/* Copies the first registered key (in key order) with this device ID into
 * keyBuffer (64 chars): 0 if found, -1 if not (buffer untouched) or null. */
OSTREL_API int OSTREL_CALL vorn_usb_event_get_key_from_handle(int deviceID, char *keyBuffer);
/* With n keys registered, writes the key registered for ID 0, then for ID 1,
 * ... up to ID n-1 into keyBuffers[0], [1], ... (an ID nobody has is skipped
 * and takes no buffer; of several keys with one ID the first in key order
 * wins). After a first static discovery with sequential IDs in which every
 * instrument answered, this lists every key in discovery order (a refused
 * instrument leaves a gap in the IDs, and the last key then drops out).
 * -1 on null. */
OSTREL_API int OSTREL_CALL vorn_usb_get_model_serial_keys(char **keyBuffers);

/* ---- Logging and system information ------------------------------------- */

/* Data lines of discovery and transfers on or off: one byte, any non-zero
 * value is on (LabVIEW's U8, ctypes' c_uint8). The first switch-on of either
 * switch writes the log header once. */
OSTREL_API void OSTREL_CALL vorn_usb_SetLogging(unsigned char on);
/* Trace lines (every operation's Enter/Exit, path lists, query traffic); one
 * byte as vorn_usb_SetLogging. */
OSTREL_API void OSTREL_CALL vorn_usb_SetTraceLog(unsigned char on);
/* Copies the operating system's name ("Windows 10", ...; on Linux the
 * kernel's name) with its NUL into buffer, which must hold 14 chars. Null
 * buffer: nothing written. */
OSTREL_API void OSTREL_CALL vorn_usb_GetOSName(char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_H */
