/* ostrel_sim.h - control of the simulated instrument bench (libostrel-sim.so,
 * OstrelSim.dll).
 *
 * The bench stands in for the USB bus: instruments described in JSON are
 * plugged and unplugged (raising the same arrival and removal notifications a
 * real device raises), platform calls can be made to fail, and the handles
 * open on simulated instruments are counted so that leaks show.
 *
 * An instrument is a JSON object (a key not listed here is refused by name):
 *   "vid", "pid"        required: numbers, or hexadecimal strings ("0x1a2b")
 *   "serial"            text used in the device path (default: one per slot)
 *   "path"              the whole interface path (default
 *                       \\?\USB#VID_%04X&PID_%04X#<serial>#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00})
 *   "replies"           object: command line as written, without its line end
 *                       -> reply bytes exactly as given ("\u00XX" gives a byte),
 *                       or {"reply": bytes, "delay_ms": time} for a reply
 *                       slower than the others
 *   "properties"        object: name -> {"default": value, "get": query,
 *                       "set": command with "{}" where the value goes,
 *                       "values": [allowed values]}; "get" answers the value
 *                       and CR LF, the setter changes it (a value not listed,
 *                       or none, queues an error instead)
 *   "echo"              bool: a write matching no reply is queued back verbatim
 *   "reply_delay_ms"    time before a reply can be read (every reply without
 *                       a delay of its own)
 *   "endpoints"         list of {"address": 129, "type": "bulk"}; types bulk,
 *                       interrupt, isochronous, control (default: bulk IN 0x81
 *                       and bulk OUT 0x02)
 *   "descriptor_length" bytes the device-descriptor read returns (default 18)
 * Every write is matched first against "replies", then against the
 * properties and "SYST:ERR?", then echoed (with "echo"). A command the
 * instrument does not know gets no reply - the read fails after the pipe's
 * transfer time-out, as on hardware - and queues -113,"Undefined header".
 * "SYST:ERR?" answers the oldest queued error, 0,"No error" when there is
 * none; the queue keeps 16, the last then reading -350,"Queue overflow".
 *
 * OSTREL_BENCH: when this environment variable names a bench file, the bench
 * plugs its instruments the first time the library looks at the bench (at
 * the latest, its first scan), so that a program written against ostrel.h
 * alone runs on a bench unchanged. A file that cannot be loaded is reported
 * on stderr and leaves the bench empty.
 *
 * These functions are safe to call from any thread, also from inside the
 * library's device-event callback.
 *
 * On Windows, OstrelSim.dll exports them after ostrel.h's 26, at ordinals 27
 * on in the order declared here (new functions go at the end). There the
 * bench stands in for SetupAPI and WinUSB only: faults can name those calls,
 * and the log stays in the user's Documents folder (or OSTREL_LOG_DIR).
 */
#ifndef OSTREL_SIM_H
#define OSTREL_SIM_H

#ifndef OSTREL_API
#define OSTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Plugs one instrument and raises an arrival notification. Returns its slot
 * (>= 0), or -1 with the reason in ostrel_sim_last_error(). */
OSTREL_API int ostrel_sim_plug(const char *instrument_json);
/* Unplugs it and raises a removal notification: 0, or -1 for an unknown
 * slot. Transfers on its open handles then fail as after a removal. */
OSTREL_API int ostrel_sim_unplug(int slot);
/* Plugs every instrument of a bench file ({"instruments": [ ... ]}). Returns
 * how many, or -1 with nothing plugged and the reason (a missing file, a
 * folder, a JSON error with its line and column, the instrument and key at
 * fault) in ostrel_sim_last_error(). */
OSTREL_API int ostrel_sim_load_bench(const char *path);
/* Unplugs every instrument (with notifications) and clears every fault. */
OSTREL_API void ostrel_sim_reset(void);
/* {"call": "WinUsb_Free", "error": 31, "after": 0, "times": 1}: the named
 * platform call fails with that Windows error code after `after` successful
 * calls, `times` times (0: from then on). 0, or -1 for an unknown call name
 * (on Windows: any but the SetupAPI and WinUSB calls) or bad JSON. */
OSTREL_API int ostrel_sim_inject_fault(const char *fault_json);
/* Device handles plus WinUSB handles open on simulated instruments. */
OSTREL_API int ostrel_sim_open_handles(void);
/* Copies the bytes the instrument has received on its OUT pipe since it was
 * plugged, up to length: only the most recent 64 KiB are kept (older bytes are
 * dropped), so that a long-running program's bench does not grow. Returns the
 * number copied, -1 for an unknown slot. */
OSTREL_API int ostrel_sim_received(int slot, char *buffer, unsigned length);
/* The reason of the last failed ostrel_sim_* call on this thread. */
OSTREL_API const char *ostrel_sim_last_error(void);
/* Before the first call into the library: the folder that stands for the
 * user's documents folder (the log goes to <path>/Log). 0, or -1 once the
 * log is open. */
OSTREL_API int ostrel_sim_set_documents_folder(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_SIM_H */
