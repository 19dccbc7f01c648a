// The demo: a scripted tour of the library on the simulated bench.
#include "Cli.h"
#include "Instruments.h"
#include "Log.h"
#include "Output.h"
#include "Transfer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ostrel::tool {
namespace {

// The instrument the tour unplugs and plugs back in.
const char visitor[] = R"({"vid": "0x1a2b", "pid": "0x295e", "serial": "SN40017", "replies": {
    "*IDN?": "VORN 2961-P 1.2.0 06/30/24 SN40017\r\n", "ADDR?": "9\r\n", "MEAS:POW?": "0.52\r\n"}})";

const Library *touring = nullptr;
std::mutex changeMutex;
std::condition_variable changed;
int changes = 0;

void OSTREL_CALL OnChange(int deviceID, int attached)
{
    char key[64] = "";
    touring->api.vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
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

int QueryEach(const Api &api, const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        const Reply reply = SendCommand(api, row.key, "*IDN?", false) ? ReadReply(api, row.key, ReadRule{}) : Reply{};
        if (reply.outcome != Reply::kComplete)
            return Fail(kFailed, Explain(reply, ReadRule{}, row.key, "*IDN?"));
        Say("     " + row.key + "  *IDN?  ->  " + ReplyText(reply));
    }
    return kOk;
}

// Sends bytes to each instrument until one echoes them back unchanged.
void BinaryRoundTrip(const Api &api, const std::vector<Row> &rows)
{
    const std::string block("\x00\x01\x7F\x80\xFE\xFF\x0D\x0A", 8);
    const ReadRule rule{.binary = true, .bytes = 0, .timeoutMs = 1000};
    for (const Row &row : rows) {
        if (!SendCommand(api, row.key, block, true) || ReadReply(api, row.key, rule).bytes != block)
            continue;
        Say("     to   " + row.key + ":  " + FormatHex(block));
        Say("     from " + row.key + ":  " + FormatHex(block) + "  (the same " + std::to_string(block.size()) +
            " bytes, NUL and line ends included)");
        return;
    }
    Say("     (no instrument on this bench echoes binary blocks)");
}

int EventMode(const Library &library)
{
    const Api &api = library.api;
    if (api.vorn_usb_event_init(0, OnChange) != 0)
        return Fail(kFailed, "could not start event mode");
    const int present = api.vorn_usb_GetDeviceCount();
    Say("     vorn_usb_event_init returned with " + std::to_string(present) + " instruments reported");

    Say("   - plugging in SN40017");
    int slot = library.bench.ostrel_sim_plug(visitor);
    if (slot < 0 || !WaitForChanges(present + 1))
        return Fail(kFailed, std::string("the arrival was not reported ") + library.bench.ostrel_sim_last_error());
    Say("   - unplugging SN40017");
    library.bench.ostrel_sim_unplug(slot);
    if (!WaitForChanges(present + 2))
        return Fail(kFailed, "the removal was not reported");
    Say("   - plugging SN40017 back in");
    slot = library.bench.ostrel_sim_plug(visitor);
    if (slot < 0 || !WaitForChanges(present + 3))
        return Fail(kFailed, std::string("the arrival was not reported ") + library.bench.ostrel_sim_last_error());
    Say("     " + std::to_string(api.vorn_usb_GetDeviceCount()) + " instruments in the table");
    api.vorn_usb_uninit_system();
    Say("     vorn_usb_uninit_system: watcher told to stop, every instrument closed, " +
        std::to_string(api.vorn_usb_GetDeviceCount()) + " in the table");
    return kOk;
}

} // namespace

int Demo(Session &session)
{
    if (!session.library.hasBench || session.benchInstruments <= 0)
        return Fail(kUsage, "the demo tours a bench: ostrel --bench examples/bench.json demo");
    const Api &api = session.library.api;
    touring = &session.library;
    api.vorn_usb_SetLogging(true);
    session.options.log = true;

    Say("Ostrel demo on the simulated bench");
    Heading("1. Static discovery (vorn_usb_open_devices), IDs from each instrument's reply to ADDR?");
    const Discovery found = Discover(session, true);
    if (found.rows.empty())
        return Fail(kFailed, "no instruments on the bench");
    ShowRows(found, false, "     ");

    Heading("2. A query to each instrument (vorn_usb_write_by_key, vorn_usb_read_by_key)");
    if (int status = QueryEach(api, found.rows))
        return status;

    Heading("3. A binary round trip (vorn_usb_write_binary_by_key, vorn_usb_read_by_key)");
    BinaryRoundTrip(api, found.rows);

    Heading("4. Event mode: instruments plugged and unplugged while the program runs");
    api.vorn_usb_uninit_system();
    if (int status = EventMode(session.library))
        return status;

    Heading("The log of this tour: " + LogPath());
    return kOk;
}

} // namespace ostrel::tool
