// Event mode through the public API: which thread reports what, the watcher's
// life and its log, shutdown while it scans, callbacks that call back in, and
// a watcher that cannot be set up.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/HotplugSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ostrel::test;

const char kEnter[] = "DiscoveryThread: Enter.";
const char kWaiting[] = "DiscoveryThread: Waiting for device messages.";
const char kExit[] = "DiscoveryThread: Exit.";

int Plug(const std::string &json)
{
    int slot = ostrel_sim_plug(json.c_str());
    EXPECT_GE(slot, 0) << ostrel_sim_last_error();
    return slot;
}

// True once the watcher has registered for notifications: a plug from then on
// reaches it.
bool WatcherListening(const std::string &docs, int starts)
{
    return WaitUntil([&] { return CountLog(docs, kWaiting) >= starts; });
}

std::set<std::pair<int, int>> AsSet(const std::vector<DeviceEvent> &events, size_t from)
{
    std::set<std::pair<int, int>> set;
    for (size_t i = from; i < events.size(); ++i)
        set.insert({events[i].deviceID, events[i].attached});
    return set;
}

TEST(EventMode, FirstScanReportsOnTheCallerAndEveryNotificationRescansOnTheWatcher)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    const int a = Plug(InstrumentJson("SNA"));
    const int b = Plug(InstrumentJson("SNB"));

    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    std::vector<DeviceEvent> first = Recorded().Events();
    ASSERT_EQ(first.size(), 2u) << "the first scan's callbacks come before event_init returns";
    for (const DeviceEvent &event : first) {
        EXPECT_EQ(event.attached, 1);
        EXPECT_EQ(event.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(AsSet(first, 0), (std::set<std::pair<int, int>>{{0, 1}, {1, 1}}));

    ASSERT_TRUE(WatcherListening(docs, 1));
    const int scans = CountLog(docs, "DeviceDiscovery: Enter.");
    // Five notifications in a burst: most arrive while the watcher sleeps
    // after its wake-up, and each must still give a scan of its own.
    Plug(InstrumentJson("SNC"));
    Plug(InstrumentJson("SND"));
    Plug(InstrumentJson("SNE"));
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    ASSERT_EQ(ostrel_sim_unplug(b), 0);
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, "DeviceDiscovery: Exit.") == scans + 5; }));
    ASSERT_TRUE(Recorded().WaitFor(0, 0));
    ASSERT_TRUE(Recorded().WaitFor(1, 0));
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 3);

    vorn_usb_uninit_system();
    // The watcher has ended by the time uninit returns.
    EXPECT_EQ(CountLog(docs, kExit), 1);
    EXPECT_EQ(CountLog(docs, kEnter), 1);
    EXPECT_EQ(CountLog(docs, "WM_DEVICECHANGE"), 5);
    EXPECT_EQ(CountLog(docs, "DeviceDiscovery: Enter."), scans + 5);

    std::vector<DeviceEvent> all = Recorded().Events();
    ASSERT_EQ(all.size(), 7u) << "a scan that finds nothing new reports nothing";
    EXPECT_EQ(AsSet(all, 2), (std::set<std::pair<int, int>>{{2, 1}, {3, 1}, {4, 1}, {0, 0}, {1, 0}}));
    for (size_t i = 2; i < all.size(); ++i) {
        EXPECT_NE(all[i].thread, std::this_thread::get_id());
        EXPECT_EQ(all[i].thread, all[2].thread) << "one watcher runs every rescan";
    }
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(EventMode, EveryStartLogsItsLifeAndUninitWaitsForTheEnd)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        Recorded().Clear();
        ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
        ASSERT_TRUE(WatcherListening(docs, cycle + 1));
        // A watcher that had missed its running flag would have left already.
        const int slot = Plug(InstrumentJson("SN" + std::to_string(cycle)));
        ASSERT_TRUE(Recorded().WaitFor(0, 1)) << "the plug was not reported with ID 0";
        EXPECT_EQ(CountLog(docs, kExit), cycle);
        vorn_usb_uninit_system();
        EXPECT_EQ(CountLog(docs, kEnter), cycle + 1);
        EXPECT_EQ(CountLog(docs, kExit), cycle + 1);
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
        ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    }
    EXPECT_EQ(CountLog(docs, kWaiting), 4);
    EXPECT_EQ(CountLog(docs, "WM_DEVICECHANGE"), 4) << "no watcher heard the unplugs after shutdown";
}

TEST(EventMode, UninitWaitsForAScanThatIsIdentifyingAnInstrument)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(WatcherListening(docs, 1));

    // Its identity takes half a second, five times Shutdown's own pause.
    const int slow = Plug(InstrumentJson("SNSLOW", 0x2936, "\"reply_delay_ms\": 500"));
    ASSERT_TRUE(WaitUntil([&] {
        char received[64] = {};
        int n = ostrel_sim_received(slow, received, sizeof received - 1);
        return n > 0 && std::strstr(received, "*IDN?") != nullptr;
    }));
    vorn_usb_uninit_system();

    EXPECT_EQ(CountLog(docs, kExit), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0) << "the scan's handles are closed, not leaked";
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0) << "the scan left nothing in the table";
    char key[64] = "untouched";
    vorn_usb_GetDeviceKeyFromDeviceID(0, key);
    EXPECT_STREQ(key, "");
}

TEST(EventMode, UninitIsRepeatableAndEndsStaticDiscoveryToo)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    Plug(InstrumentJson("SN1", 0x2936, "", "\"ADDR?\": \"5\\r\\n\""));
    Plug(InstrumentJson("SN2", 0x2936, "", "\"ADDR?\": \"7\\r\\n\""));

    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_GetDeviceCount(), 2);
    EXPECT_EQ(ostrel_sim_open_handles(), 4);
    vorn_usb_uninit_system();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    char key[64] = "untouched";
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(5, key), -1) << "the key registry is emptied";
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_EQ(CountLog(docs, kEnter), 0);
    EXPECT_FALSE(LogHasPrefix(docs, "Shutdown: Could not SetEvent."));

    // Everything is found again, numbered from 0: the path lists and the
    // device-ID rule were reset.
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    EXPECT_EQ(AsSet(Recorded().Events(), 0), (std::set<std::pair<int, int>>{{0, 1}, {1, 1}}));
    vorn_usb_uninit_system();
    vorn_usb_uninit_system();
    EXPECT_EQ(CountLog(docs, kExit), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

// What the re-entrant callback saw, for the test to check once it returned.
struct ReentrantResults {
    std::atomic<bool> armed{false};
    std::atomic<bool> done{false};
    std::thread::id thread;
    int count = -1;
    int keys = -1;
    char keyOfID[64] = {};
    int listed = -1;
    std::string reply;
    int staticResult = -99;
    int staticCount = -1;
    int secondInit = -99;
    int countAfterUninit = -1;
    int restart = -99;
    int lastStart = -99;
};
ReentrantResults reentrant;

void OSTREL_CALL CallEverything(int deviceID, int attached)
{
    RecordEvent(deviceID, attached);
    if (attached != 1 || !reentrant.armed.exchange(false))
        return;
    reentrant.thread = std::this_thread::get_id();
    reentrant.count = vorn_usb_GetDeviceCount();
    char storage[8][64];
    char *keys[8];
    for (int i = 0; i < 8; ++i)
        keys[i] = storage[i];
    reentrant.keys = vorn_usb_GetDeviceKeys(keys);
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, reentrant.keyOfID);
    int ids[8], models[8], serials[8];
    vorn_usb_event_assign_key(reentrant.keyOfID, deviceID);
    if (GetInstrumentList(ids, models, serials, &reentrant.listed) != 0)
        reentrant.listed = -1;
    reentrant.reply = Measure(deviceID);
    reentrant.staticResult = vorn_usb_open_devices(0, false, &reentrant.staticCount);
    reentrant.secondInit = vorn_usb_event_init(0, CallEverything);
    vorn_usb_uninit_system();
    reentrant.countAfterUninit = vorn_usb_GetDeviceCount();
    // Started again, stopped again and started once more, all before this
    // watcher has even ended: the last one must wait for this one.
    reentrant.restart = vorn_usb_event_init(0, CallEverything);
    vorn_usb_uninit_system();
    reentrant.lastStart = vorn_usb_event_init(0, CallEverything);
    reentrant.done = true;
}

TEST(EventMode, CallbackMayCallEveryExportAndShutTheWatcherItRunsOn)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    Plug(InstrumentJson("SNA"));
    ASSERT_EQ(vorn_usb_event_init(0, CallEverything), 0);
    ASSERT_TRUE(WatcherListening(docs, 1));

    reentrant.armed = true;
    Plug(InstrumentJson("SNB"));
    ASSERT_TRUE(WaitUntil([] { return reentrant.done.load(); })) << "the callback deadlocked";
    EXPECT_NE(reentrant.thread, std::this_thread::get_id());
    EXPECT_EQ(reentrant.count, 2);
    EXPECT_EQ(reentrant.keys, 2);
    EXPECT_STREQ(reentrant.keyOfID, KeyOf("SNB").c_str());
    EXPECT_EQ(reentrant.listed, 2);
    EXPECT_EQ(reentrant.reply, "SNB");
    EXPECT_EQ(reentrant.staticResult, 0);
    EXPECT_EQ(reentrant.staticCount, 2);
    EXPECT_EQ(reentrant.secondInit, 0);
    EXPECT_EQ(reentrant.countAfterUninit, 0);
    EXPECT_EQ(reentrant.restart, 0);
    EXPECT_EQ(reentrant.lastStart, 0);

    // The watcher stops once its callback has returned, by itself; the one
    // started last takes over the window class then. The one in between was
    // stopped before it could start.
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, kExit) == 1; }));
    ASSERT_TRUE(WatcherListening(docs, 2));
    Plug(InstrumentJson("SNC"));
    ASSERT_TRUE(Recorded().WaitFor(2, 1));
    vorn_usb_uninit_system();
    EXPECT_FALSE(LogHasPrefix(docs, "DiscoveryThread: Could not"));
    EXPECT_EQ(CountLog(docs, kEnter), 2);
    EXPECT_EQ(CountLog(docs, kExit), 2);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

// Restarts event mode from the watcher's callback while another thread is
// shutting that watcher down.
std::string racingDocs;
std::atomic<bool> racingEntered{false};
std::atomic<int> racingResult{-99};

void OSTREL_CALL RestartDuringShutdown(int, int attached)
{
    if (attached != 1 || racingEntered.exchange(true))
        return;
    WaitUntil([] { return CountLog(racingDocs, "Shutdown: Enter.") == 1; });
    racingResult = vorn_usb_event_init(0, RecordEvent);
}

TEST(EventMode, RestartFromTheCallbackDuringAnotherThreadsShutdownGetsAWorkingWatcher)
{
    const std::string docs = UseTempDocuments();
    racingDocs = docs;
    vorn_usb_SetTraceLog(true);
    ASSERT_EQ(vorn_usb_event_init(0, RestartDuringShutdown), 0);
    ASSERT_TRUE(WatcherListening(docs, 1));
    Plug(InstrumentJson("SNA"));
    ASSERT_TRUE(WaitUntil([] { return racingEntered.load(); }));
    vorn_usb_uninit_system();
    EXPECT_EQ(racingResult, 0);

    // The new watcher waited for the old one to let go of the window class.
    ASSERT_TRUE(WatcherListening(docs, 2));
    Plug(InstrumentJson("SNB"));
    EXPECT_TRUE(Recorded().WaitFor(0, 1));
    EXPECT_TRUE(Recorded().WaitFor(1, 1));
    vorn_usb_uninit_system();
    EXPECT_FALSE(LogHasPrefix(docs, "DiscoveryThread: Could not"));
    EXPECT_EQ(CountLog(docs, kEnter), 2);
    EXPECT_EQ(CountLog(docs, kExit), 2);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

EventRecorder secondRecorder;
void OSTREL_CALL RecordSecond(int deviceID, int attached)
{
    secondRecorder.Add(deviceID, attached);
}

TEST(EventMode, SecondEventInitTakesCallbackAndProductButNotASecondWatcher)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    Plug(InstrumentJson("SNA", 0x2936));
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(WatcherListening(docs, 1));

    ASSERT_EQ(vorn_usb_event_init(0x3000, RecordSecond), 0);
    const int scans = CountLog(docs, "DeviceDiscovery: Exit.");
    EXPECT_EQ(secondRecorder.Count(), 0u) << "instruments already known are left alone";
    Plug(InstrumentJson("SNB", 0x2936)); // another product now: refused
    Plug(InstrumentJson("SNC", 0x3000));
    ASSERT_TRUE(secondRecorder.WaitFor(1, 1));
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, "DeviceDiscovery: Exit.") == scans + 2; }));
    EXPECT_NE(secondRecorder.Events()[0].thread, std::this_thread::get_id());
    EXPECT_EQ(Recorded().Count(), 1u);

    char storage[4][64];
    char *keys[4] = {storage[0], storage[1], storage[2], storage[3]};
    ASSERT_EQ(vorn_usb_GetDeviceKeys(keys), 2);
    EXPECT_STREQ(keys[0], KeyOf("SNA").c_str());
    EXPECT_STREQ(keys[1], KeyOf("SNC").c_str());

    vorn_usb_uninit_system();
    EXPECT_EQ(CountLog(docs, kEnter), 1);
    EXPECT_EQ(CountLog(docs, kExit), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

// The text of the next line that the thread which wrote `text` wrote after
// it (other threads' lines may come between).
std::string NextLineOfSameThread(const std::string &docs, const std::string &text)
{
    const std::vector<std::string> lines = LogLines(docs);
    const std::vector<std::string> texts = LogTexts(docs);
    // "date time, pid, tid, text": the writer is the part before the text.
    auto writer = [&](size_t i) { return lines[i].substr(0, lines[i].size() - texts[i].size()); };
    auto tid = [&](size_t i) { return writer(i).substr(writer(i).find(", ")); };
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] != text)
            continue;
        for (size_t j = i + 1; j < texts.size(); ++j)
            if (tid(j) == tid(i))
                return texts[j];
        break;
    }
    return std::string();
}

TEST(EventMode, WatcherThatCannotBeSetUpLeavesTheFirstScanInUse)
{
    struct Case {
        const char *call;
        const char *line;
        bool lastError;
    };
    const Case cases[] = {
        {"CreateThread", "CreateDiscoveryThread:  Could not create thread.", false},
        {"CreateEventA", "DiscoveryThread: Could not create event.", true},
        {"RegisterClassExA", "DiscoveryThread: Could not register window class.", true},
        {"CreateWindowExA", "DiscoveryThread: Could not create window.", true},
        {"RegisterDeviceNotificationA", "DiscoveryThread: Could not register for device notification.", true},
    };
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    Plug(InstrumentJson("SNA"));
    int enters = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        const std::string fault = std::string("{\"call\": \"") + c.call + "\", \"error\": 8, \"times\": 1}";
        ASSERT_EQ(ostrel_sim_inject_fault(fault.c_str()), 0);
        const size_t before = Recorded().Count();
        ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
        EXPECT_EQ(Recorded().Count(), before + 1);
        ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, c.line) == 1; }));
        const std::string after = NextLineOfSameThread(docs, c.line);
        EXPECT_EQ(after.rfind("GetLastError = ", 0) == 0, c.lastError) << after;
        if (std::string(c.call) != "CreateThread")
            ++enters;
        EXPECT_EQ(Measure(0), "SNA") << "the first scan's table stays in use";
        vorn_usb_uninit_system();
        EXPECT_EQ(CountLog(docs, kEnter), enters);
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
    }
    EXPECT_EQ(CountLog(docs, kWaiting), 0);
    EXPECT_EQ(CountLog(docs, kExit), 0) << "a set-up failure ends the thread without the Exit line";

    // Each failure undid its own set-up: the next watcher starts and listens.
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(WatcherListening(docs, 1));
    Plug(InstrumentJson("SNB"));
    ASSERT_TRUE(Recorded().WaitFor(1, 1));
    vorn_usb_uninit_system();
    EXPECT_EQ(CountLog(docs, kExit), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(EventMode, FailingWaitIsLoggedPausedAndRecoveredFrom)
{
    const std::string docs = UseTempDocuments();
    const char line[] = "DiscoveryThread: Could not wait for multiple objects.";
    Plug(InstrumentJson("SNA"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ostrel_sim_inject_fault("{\"call\": \"MsgWaitForMultipleObjects\", \"error\": 6, \"times\": 0}"), 0);
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, line) >= 3; }));
    EXPECT_EQ(NextLineOfSameThread(docs, line).rfind("GetLastError = ", 0), 0u);

    ostrel_sim_reset(); // clears the fault and unplugs the instrument
    ASSERT_TRUE(Recorded().WaitFor(0, 0)) << "the watcher waits normally again";
    vorn_usb_uninit_system();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // At least 100 ms between two failed waits: a spinning loop would have
    // written thousands of lines in this time.
    const long pauses = static_cast<long>(elapsed / std::chrono::milliseconds(100));
    EXPECT_LE(CountLog(docs, line), pauses + 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

} // namespace
