// Event mode as a user sees it: instruments present at start reported on the
// caller's thread, plugs and unplugs reported on the watcher thread, a restart.
#include "Scenario.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using namespace ostrel::scenario;

struct DeviceEvent {
    int deviceID;
    int attached;
    bool onCallerThread;
    std::string key; // looked up from inside the callback
};

std::mutex eventsMutex;
std::vector<DeviceEvent> events;
std::thread::id callerThread;

void OSTREL_CALL OnDeviceEvent(int deviceID, int attached)
{
    // Calling back into the library from the callback must not deadlock.
    char key[64] = "";
    if (attached)
        vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back({deviceID, attached, std::this_thread::get_id() == callerThread, key});
}

std::vector<DeviceEvent> Events()
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    return events;
}

const char kNewInstrument[] = R"({"vid": 6699, "pid": 10590, "serial": "SN40001",
    "replies": {"*IDN?": "VORN 2961-P 1.0.0 01/01/24 SN40001\r\n", "PING?": "PONG\r\n"}})";
const char kNewKey[] = "2961-P SN40001";

SCENARIO("event-mode-hotplug", Hotplug)
{
    callerThread = std::this_thread::get_id();
    vorn_usb_SetTraceLog(true);
    REQUIRE(PlugBench());
    LogMark log;
    CHECK_EQ(vorn_usb_event_init(0, OnDeviceEvent), 0, "vorn_usb_event_init succeeds");
    std::vector<DeviceEvent> seen = Events();
    REQUIRE(CHECK_EQ(seen.size(), size_t{3}, "the instruments present are reported before it returns"));
    for (int i = 0; i < 3; ++i) {
        const DeviceEvent &event = seen[static_cast<size_t>(i)];
        CHECK(event.deviceID == i && event.attached == 1 && event.key == BenchKeys()[static_cast<size_t>(i)],
              "arrival " + std::to_string(i) + " is " + BenchKeys()[static_cast<size_t>(i)] + " with ID " +
                  std::to_string(i));
        CHECK(event.onCallerThread, "arrival " + std::to_string(i) + " is reported on the caller's thread");
    }

    const int slot = ostrel_sim_plug(kNewInstrument);
    REQUIRE(CHECK(slot >= 0, "a fourth instrument is plugged"));
    REQUIRE(CHECK(WaitFor([] { return Events().size() >= 4; }), "its arrival reaches the callback"));
    DeviceEvent arrival = Events()[3];
    CHECK(arrival.attached == 1 && arrival.deviceID == 3 && arrival.key == kNewKey,
          "the arrival names the new instrument, ID 3");
    CHECK(!arrival.onCallerThread, "a hot-plug arrival is reported on the watcher thread");
    CHECK_EQ(vorn_usb_GetDeviceCount(), 4, "the new instrument is in the device table");
    std::string ping = "PING?";
    char reply[64] = "";
    unsigned bytesRead = 0;
    CHECK(vorn_usb_write_by_key(kNewKey, &ping[0], 0) == 0 &&
              vorn_usb_read_ascii_by_key(kNewKey, reply, sizeof reply, &bytesRead) == 0 &&
              std::string(reply) == "PONG",
          "the new instrument answers by key");

    REQUIRE(CHECK_EQ(ostrel_sim_unplug(1), 0, "the thermometer is unplugged"));
    REQUIRE(CHECK(WaitFor([] { return Events().size() >= 5; }), "its removal reaches the callback"));
    DeviceEvent removal = Events()[4];
    CHECK(removal.attached == 0 && removal.deviceID == 1, "the removal names ID 1");
    CHECK(!removal.onCallerThread, "a removal is reported on the watcher thread");
    // Its callback sees it still in the table; it leaves once the callback has returned.
    CHECK(WaitFor([] { return vorn_usb_GetDeviceCount() == 3; }), "the thermometer has left the table");
    CHECK(WaitFor([] { return ostrel_sim_open_handles() == 6; }), "its handles are closed; the others' stay open");
    CHECK(log.Count("WM_DEVICECHANGE") >= 2, "each change reached the watcher as WM_DEVICECHANGE");
    CHECK_EQ(Events().size(), size_t{5}, "no other event was reported");

    UninitLeavesNothingOpen();
    CHECK(WaitFor([&] { return log.Count("DiscoveryThread: Exit.") == 1; }), "the watcher stops after uninit");

    // Started again, event mode reports what is present now, and the new watcher hears what changes.
    CHECK_EQ(vorn_usb_event_init(0, OnDeviceEvent), 0, "event mode starts again");
    seen = Events();
    bool allOnCaller = seen.size() == 8;
    for (size_t i = 5; i < seen.size(); ++i)
        allOnCaller = allOnCaller && seen[i].attached == 1 && seen[i].onCallerThread;
    CHECK(allOnCaller, "the three instruments present are reported again, on the caller's thread");
    REQUIRE(CHECK_EQ(ostrel_sim_unplug(slot), 0, "the fourth instrument is unplugged"));
    CHECK(WaitFor([] { return Events().size() >= 9; }), "the restarted watcher reports its removal");
    UninitLeavesNothingOpen();
}

// As a windowed program's callback: an event from the watcher is handed to the
// main thread, and the callback waits until the main thread has taken it.
std::atomic<int> handedOver{0}, taken{0}, returned{0};

void OSTREL_CALL HandToTheMainThread(int deviceID, int attached)
{
    OnDeviceEvent(deviceID, attached);
    if (std::this_thread::get_id() == callerThread)
        return;
    const int mine = ++handedOver;
    WaitFor([mine] { return taken.load() >= mine; }, 10000);
    ++returned;
}

SCENARIO("callbacks-run-outside-every-lock", CallbacksOutsideEveryLock)
{
    callerThread = std::this_thread::get_id();
    REQUIRE(PlugBench());
    REQUIRE(CHECK_EQ(vorn_usb_event_init(0, HandToTheMainThread), 0, "event mode starts"));
    const int first = ostrel_sim_plug(kNewInstrument);
    REQUIRE(CHECK(first >= 0 && WaitFor([] { return handedOver.load() == 1; }),
                  "a plug reaches the callback, which waits for the main thread"));

    // Meanwhile the main thread rescans and restarts event mode, as a program's menu would.
    int count = -1;
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 4, "a rescan returns at once");
    CHECK_EQ(vorn_usb_event_init(0, HandToTheMainThread), 0, "so does vorn_usb_event_init");
    CHECK_EQ(returned.load(), 0, "both while the callback still waited for this thread");

    // What changes while it waits is reported after it, in order, one callback at a time.
    CHECK_EQ(ostrel_sim_unplug(first), 0, "the new instrument is unplugged while the callback waits");
    taken = 1;
    CHECK(WaitFor([] { return handedOver.load() == 2; }, 10000), "its removal follows once the callback returned");
    CHECK_EQ(returned.load(), 1, "and only then");
    taken = 2;
    const std::vector<DeviceEvent> seen = Events();
    CHECK(seen.size() == 5 && seen[3].attached == 1 && seen[4].attached == 0 && seen[3].deviceID == seen[4].deviceID,
          "arrival, then removal, of the same ID");
    UninitLeavesNothingOpen();
}

SCENARIO("event-mode-restarts-after-uninit-overtakes-its-start", EventModeRestartsAfterUninitOvertakesItsStart)
{
    callerThread = std::this_thread::get_id();
    // Its identity takes a while: event mode's first scan is still running when uninit comes.
    const int slow = ostrel_sim_plug(R"({"vid": 6699, "pid": 10592, "serial": "SN40003", "reply_delay_ms": 300,
        "replies": {"*IDN?": "VORN 2963-S 1.0.0 01/01/24 SN40003\r\n"}})");
    REQUIRE(CHECK(slow >= 0, "a slow instrument is plugged"));
    std::atomic<int> started{-99};
    std::thread starter([&] { started = vorn_usb_event_init(0, OnDeviceEvent); });
    CHECK(WaitFor([&] { return Received(slow).find("*IDN?") != std::string::npos; }), "the first scan is under way");
    vorn_usb_uninit_system();
    const bool ended = CHECK(WaitFor([&] { return started.load() != -99; }), "vorn_usb_event_init returns");
    if (!ended)
        std::_Exit(1); // nothing can join it
    starter.join();

    // The next start is as in a fresh process: its watcher hears a plug.
    const size_t before = Events().size();
    REQUIRE(CHECK_EQ(vorn_usb_event_init(0, OnDeviceEvent), 0, "event mode starts again"));
    REQUIRE(CHECK(ostrel_sim_plug(kNewInstrument) >= 0, "an instrument is plugged"));
    CHECK(WaitFor(
              [&] {
                  const std::vector<DeviceEvent> seen = Events();
                  return seen.size() > before && !seen.back().onCallerThread && seen.back().key == kNewKey;
              },
              5000),
          "the restarted watcher reports it");
    UninitLeavesNothingOpen();
}

} // namespace
