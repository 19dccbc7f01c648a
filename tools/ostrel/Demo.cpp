// The demo: a scripted tour of the library on the simulated bench.
#include "Bench.h"
#include "Cli.h"
#include "Instruments.h"

#include "ostrel.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace ostrel::tool {

namespace {

// The instrument the tour unplugs and plugs back in.
const char visitor[] = R"({"vid": 6699, "pid": 10590, "serial": "SN40017", "replies": {
    "*IDN?": "VORN 2961-P 1.2.0 06/30/24 SN40017\r\n", "ADDR?": "9\r\n", "MEAS:POW?": "0.52\r\n"}})";

std::mutex changeMutex;
std::condition_variable changed;
int changes = 0;

void OSTREL_CALL OnChange(int deviceID, int attached)
{
    char key[64] = "";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    Say(std::string("     callback: ") + (attached ? "arrived" : "removed") + "  ID " + std::to_string(deviceID) +
        "  " + key);
    {
        std::lock_guard<std::mutex> lock(changeMutex);
        ++changes;
    }
    changed.notify_all();
}

// Waits (at most five seconds) until the callback has been called `count` times.
bool WaitForChanges(int count)
{
    std::unique_lock<std::mutex> lock(changeMutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return changes >= count; });
}

void Heading(const std::string &text)
{
    Say("");
    Say(text);
}


int QueryEach(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        Target target;
        Resolve(row.key, rows, target);
        std::string reply;
        if (!SendAscii(target, "*IDN?") || !ReadAscii(target, reply))
            return Fail(kFailed, "no reply from " + row.key);
        Say("     " + row.key + "  *IDN?  ->  " + reply);
    }
    return kOk;
}

// Sends bytes to each instrument until one echoes them back unchanged.
void BinaryRoundTrip(const std::vector<Row> &rows)
{
    const std::vector<unsigned char> block = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 0x0D, 0x0A};
    for (const Row &row : rows) {
        Target target;
        Resolve(row.key, rows, target);
        std::vector<unsigned char> reply;
        if (!SendBinary(target, block) || !ReadBinary(target, reply) || reply != block)
            continue;
        Say("     to   " + row.key + ":  " + FormatHex(block));
        Say("     from " + row.key + ":  " + FormatHex(reply) + "  (the same " + std::to_string(reply.size()) +
            " bytes, NUL and line ends included)");
        return;
    }
    Say("     (no instrument on this bench echoes binary blocks)");
}

int EventMode()
{
    if (vorn_usb_event_init(0, OnChange) != 0)
        return Fail(kFailed, "could not start event mode");
    const int present = vorn_usb_GetDeviceCount();
    Say("     vorn_usb_event_init returned with " + std::to_string(present) + " instruments reported");

    std::string error;
    Say("   - plugging in SN40017");
    int slot = PlugInstrument(visitor, error);
    if (slot < 0 || !WaitForChanges(present + 1))
        return Fail(kFailed, "the arrival was not reported " + error);
    Say("   - unplugging SN40017");
    UnplugInstrument(slot);
    if (!WaitForChanges(present + 2))
        return Fail(kFailed, "the removal was not reported");
    Say("   - plugging SN40017 back in");
    slot = PlugInstrument(visitor, error);
    if (slot < 0 || !WaitForChanges(present + 3))
        return Fail(kFailed, "the arrival was not reported " + error);
    Say("     " + std::to_string(vorn_usb_GetDeviceCount()) + " instruments in the table");
    vorn_usb_uninit_system();
    Say("     vorn_usb_uninit_system: watcher stopped, every instrument closed, " +
        std::to_string(vorn_usb_GetDeviceCount()) + " in the table");
    return kOk;
}

} // namespace

int Demo(const Options &options)
{
    if (!HaveBench())
        return Fail(kFailed, "the demo runs on the simulated bench; this build talks to real instruments");
    std::string error;
    if (options.benchFile.empty() && !LoadDefaultBench(error))
        return Fail(kFailed, "the built-in bench: " + error);
    vorn_usb_SetLogging(true);

    Say("Ostrel demo on the simulated bench");
    Heading("1. Static discovery (vorn_usb_open_devices, device IDs from ADDR?)");
    std::vector<Row> rows = Discover(0, false);
    if (rows.empty())
        rows = Discover(0, true);
    if (rows.empty())
        return Fail(kFailed, "no instruments on the bench");
    ShowTable(rows, "     ");

    Heading("2. A query to each instrument (vorn_usb_write_by_key, vorn_usb_read_ascii_by_key)");
    if (int status = QueryEach(rows))
        return status;

    Heading("3. A binary round trip (vorn_usb_write_binary_by_key, vorn_usb_read_by_key)");
    BinaryRoundTrip(rows);

    Heading("4. Event mode: instruments plugged and unplugged while the program runs");
    vorn_usb_uninit_system();
    if (int status = EventMode())
        return status;

    Heading("The log of this tour: " + LogFilePath());
    return kOk;
}

} // namespace ostrel::tool
