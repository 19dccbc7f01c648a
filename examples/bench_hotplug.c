/* bench_hotplug.c - a Windows program on the simulated bench: OstrelSim.dll in place of Ostrel.dll.
 *
 * Run it with OSTREL_BENCH naming a bench file (examples/bench.json): event
 * mode reports the bench's instruments, each is asked "*IDN?", then the
 * program plugs an instrument of its own and unplugs it again, and waits for
 * the callback to report both. Apart from those two ostrel_sim_* calls it is
 * a program for real instruments; linked against Ostrel.lib instead it would
 * run on the instruments on the desk. Exits 1 if anything is missing.
 *
 *     x86_64-w64-mingw32-gcc bench_hotplug.c -Iinclude -Llib -lOstrelSim -o bench_hotplug.exe
 *     set OSTREL_BENCH=bench.json
 *     bench_hotplug.exe
 */
#include <windows.h>

#include <stdio.h>

#include "ostrel.h"
#include "ostrel_sim.h"

/* What the callback has seen, and a Windows event that wakes the main thread at each call. */
static volatile LONG arrivals, removals, lastArrivedID = -1, lastLeftID = -1;
static HANDLE changed;

static void OSTREL_CALL OnDeviceEvent(int deviceID, int attached)
{
    /* During vorn_usb_event_init on this thread, afterwards on the library's watcher thread. */
    char key[64] = "";
    if (attached)
        vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    if (attached)
        printf("arrived: ID %d %s\n", deviceID, key);
    else
        printf("left: ID %d\n", deviceID);
    fflush(stdout);
    InterlockedExchange(attached ? &lastArrivedID : &lastLeftID, deviceID);
    InterlockedIncrement(attached ? &arrivals : &removals);
    SetEvent(changed);
}

/* Waits until *count has gone past `before`; gives up after ten seconds without a call. */
static int WaitPast(volatile LONG *count, LONG before)
{
    while (*count <= before)
        if (WaitForSingleObject(changed, 10000) != WAIT_OBJECT_0)
            return 0;
    return 1;
}

/* Every instrument in the device table, with its reply to "*IDN?"; the number that answered. */
static int QueryEach(void)
{
    int ids[16], models[16], serials[16], listed = 0, answered = 0;
    if (vorn_usb_GetDeviceCount() > 16 || GetInstrumentList(ids, models, serials, &listed) != 0)
        return 0;
    printf("%d instruments\n", listed);
    for (int i = 0; i < listed; ++i) {
        char key[64], command[] = "*IDN?", reply[64] = "(no reply: see the log)";
        unsigned length = 0;
        vorn_usb_GetDeviceKeyFromDeviceID(ids[i], key);
        if (vorn_usb_send_ascii(ids[i], command, 0) == 0 &&
            vorn_usb_get_ascii_by_DeviceID(ids[i], reply, sizeof reply, &length) == 0)
            ++answered;
        printf("%-4d %-24s %s\n", ids[i], key, reply);
    }
    return answered;
}

int main(void)
{
    static const char instrument[] = "{\"vid\": 6699, \"pid\": 10590, \"serial\": \"SN40001\", \"replies\": "
                                     "{\"*IDN?\": \"VORN 2961-P 1.0.0 01/01/24 SN40001\\r\\n\"}}";
    changed = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (changed == NULL || vorn_usb_event_init(0, OnDeviceEvent) != 0)
        return 1;
    const int present = vorn_usb_GetDeviceCount();
    const int queried = present > 0 && QueryEach() == present;

    const LONG arrived = arrivals, left = removals;
    const int slot = ostrel_sim_plug(instrument);
    if (slot < 0)
        fprintf(stderr, "plug: %s\n", ostrel_sim_last_error());
    const int plugged = slot >= 0 && WaitPast(&arrivals, arrived);
    const int unplugged = plugged && ostrel_sim_unplug(slot) == 0 && WaitPast(&removals, left) &&
                          lastLeftID == lastArrivedID;

    vorn_usb_uninit_system();
    CloseHandle(changed);
    if (!queried || !plugged || !unplugged)
        fprintf(stderr, "%s\n", !queried ? "not every instrument answered" : !plugged ? "no arrival was reported"
                                                                              : "no removal was reported");
    return queried && plugged && unplugged ? 0 : 1;
}
