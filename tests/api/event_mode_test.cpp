// Event mode: which thread reports what, the watcher's life and its log, shutdown while it scans, callbacks
// that call back in, and a watcher that cannot be set up.
#include "api/api_session.h"

#include <atomic>
#include <set>
#include <tuple>

namespace ostrel::test {
namespace {

const char kEnter[] = "DiscoveryThread: Enter.";
const char kWaiting[] = "DiscoveryThread: Waiting for device messages.";
const char kExit[] = "DiscoveryThread: Exit.";
using Events = std::set<std::pair<int, int>>;

// Key "2936-R <serial>"; answers MEAS? with its serial.
int PlugHot(const std::string &sn, unsigned pid = 0x2936)
{
    return Plug({.pid = pid, .serial = sn, .idn = Idn("2936-R", sn), .replies = {{"MEAS?", sn + "\r\n"}}});
}

Events AsSet(const std::vector<DeviceEvent> &events, size_t from = 0)
{
    Events set;
    for (size_t i = from; i < events.size(); ++i)
        set.insert({events[i].deviceID, events[i].attached});
    return set;
}

class EventModeTest : public ApiTest {
protected:
    void SetUp() override { vorn_usb_SetTraceLog(true); }
    int Logged(const std::string &line) const { return CountLog(documents, line); }
    // Once `starts` watchers have registered for notifications, a plug reaches the last one.
    bool Listening(int starts) const { return WaitUntil([&] { return Logged(kWaiting) >= starts; }); }
    // Every watcher started ends soon after uninit (which does not wait for it), and nothing failed on the way.
    void ExpectWatchers(int started) const
    {
        EXPECT_TRUE(WaitUntil([&] { return Logged(kExit) == started; }));
        EXPECT_EQ(Logged(kEnter), started);
        for (const std::string &text : LogTexts(documents))
            EXPECT_FALSE(text.rfind("DiscoveryThread: Could not", 0) == 0 || text.rfind("Shutdown: Could not", 0) == 0)
                << text;
    }
};

TEST_F(EventModeTest, FirstScanReportsOnTheCallerAndEveryNotificationRescansOnTheWatcher)
{
    const int a = PlugHot("SNA"), b = PlugHot("SNB");
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(Listening(1));
    const int scans = Logged("DeviceDiscovery: Enter.");
    // Most of a burst arrives while the watcher sleeps after its wake-up; each notification still gets its scan.
    PlugHot("SNC"), PlugHot("SND"), PlugHot("SNE");
    ASSERT_EQ(ostrel_sim_unplug(a) + ostrel_sim_unplug(b), 0);
    ASSERT_TRUE(WaitUntil([&] { return Logged("DeviceDiscovery: Exit.") == scans + 5; }));
    vorn_usb_uninit_system();
    ExpectWatchers(1);
    EXPECT_EQ(Logged("WM_DEVICECHANGE"), 5);
    EXPECT_EQ(Logged("DeviceDiscovery: Enter."), scans + 5);

    const std::vector<DeviceEvent> all = Recorded();
    ASSERT_EQ(all.size(), 7u) << "a scan that finds nothing new reports nothing";
    EXPECT_EQ(AsSet(all, 2), (Events{{2, 1}, {3, 1}, {4, 1}, {0, 0}, {1, 0}}));
    // No scan gets a thread of its own: a second watcher would outlive the shutdown.
    for (size_t i = 3; i < all.size(); ++i)
        EXPECT_EQ(all[i].thread, all[2].thread) << i;
}

TEST_F(EventModeTest, EveryStartLogsItsLifeAndUninitClosesEverythingEvenMidScan)
{
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        Recorded(true);
        ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
        ASSERT_TRUE(Listening(cycle + 1));
        // A watcher that had missed its running flag would have left already.
        const int slot = PlugHot("SN" + std::to_string(cycle));
        ASSERT_TRUE(WaitForEvent(0, 1)) << "reported with ID 0: every start numbers from 0";
        EXPECT_EQ(Logged(kExit), cycle);
        // At last, while a scan waits half a second for an identity: it is aborted, not waited for.
        const int slow = cycle < 2 ? -1 : Plug({.serial = "SLOW", .idn = "9\r", .fields = "\"reply_delay_ms\": 500"});
        ASSERT_TRUE(slow < 0 || WaitUntil([&] { return Received(slow) == "*IDN?\r"; }));
        vorn_usb_uninit_system();
        EXPECT_EQ(ostrel_sim_open_handles() + vorn_usb_GetDeviceCount(), 0) << "nothing left open or in the table";
        EXPECT_EQ(CountLog(documents, "GetLastError = The I/O operation has been aborted", true), slow < 0 ? 0 : 1);
        ExpectWatchers(cycle + 1);
        vorn_usb_uninit_system();
        ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    }
    EXPECT_EQ(Logged(kWaiting), 3);
    EXPECT_EQ(Logged("WM_DEVICECHANGE"), 4) << "no watcher heard the unplugs after shutdown";
}

// What the re-entrant callback saw, for the test to check once it returned.
struct {
    std::atomic<bool> armed{false}, done{false};
    std::thread::id thread;
    std::string answer;
    std::vector<int> results;
} reentrant;

void OSTREL_CALL CallEverything(int deviceID, int attached)
{
    RecordEvent(deviceID, attached);
    if (attached != 1 || !reentrant.armed.exchange(false))
        return;
    reentrant.thread = std::this_thread::get_id();
    char key[64] = "";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    reentrant.answer = std::string(key) + ", " + Ask(deviceID, "MEAS?");
    KeyBuffers keys(8);
    int ids[8], models[8], serials[8], listed = -1, found = -1;
    reentrant.results = {vorn_usb_GetDeviceCount(), vorn_usb_GetDeviceKeys(keys.pointers.data()),
                         vorn_usb_event_assign_key(key, deviceID), GetInstrumentList(ids, models, serials, &listed),
                         listed, vorn_usb_open_devices(0, false, &found), found,
                         vorn_usb_event_init(0, CallEverything)};
    vorn_usb_uninit_system();
    // Started, stopped and started once more before this watcher has ended.
    reentrant.results.push_back(vorn_usb_GetDeviceCount() + vorn_usb_event_init(0, CallEverything));
    vorn_usb_uninit_system();
    reentrant.results.push_back(vorn_usb_event_init(0, CallEverything));
    reentrant.done = true;
}

TEST_F(EventModeTest, CallbackMayCallEveryExportAndShutTheWatcherItRunsOn)
{
    PlugHot("SNA");
    ASSERT_EQ(vorn_usb_event_init(0, CallEverything), 0);
    ASSERT_TRUE(Listening(1));
    reentrant.armed = true;
    PlugHot("SNB");
    ASSERT_TRUE(WaitUntil([] { return reentrant.done.load(); })) << "the callback deadlocked";
    EXPECT_NE(reentrant.thread, std::this_thread::get_id());
    EXPECT_EQ(reentrant.answer, "2936-R SNB, SNB");
    // Count, keys, assign, list and its count, static scan and its count, event_init, restarts (one after uninit).
    EXPECT_EQ(reentrant.results, (std::vector<int>{2, 2, 0, 0, 2, 0, 2, 0, 0, 0}));
    // This watcher stops once its callback returned, as does the one started and stopped in between; the last
    // started takes over.
    ASSERT_TRUE(WaitUntil([&] { return Logged(kExit) == 2; }));
    ASSERT_TRUE(Listening(3));
    PlugHot("SNC");
    ASSERT_TRUE(WaitForEvent(2, 1));
    vorn_usb_uninit_system();
    ExpectWatchers(3);
}

std::string racingDocs;
std::atomic<bool> racingEntered{false};
std::atomic<int> racingResult{-99};

// Restarts event mode from the watcher's callback while another thread shuts that watcher down.
void OSTREL_CALL RestartDuringShutdown(int, int attached)
{
    if (attached != 1 || racingEntered.exchange(true))
        return;
    WaitUntil([] { return CountLog(racingDocs, "Shutdown: Enter.") == 1; });
    racingResult = vorn_usb_event_init(0, RecordEvent);
}

TEST_F(EventModeTest, RestartFromTheCallbackDuringAnotherThreadsShutdownGetsAWorkingWatcher)
{
    racingDocs = documents;
    ASSERT_EQ(vorn_usb_event_init(0, RestartDuringShutdown), 0);
    ASSERT_TRUE(Listening(1));
    PlugHot("SNA");
    ASSERT_TRUE(WaitUntil([] { return racingEntered.load(); }));
    vorn_usb_uninit_system();
    // Uninit did not wait for the callback, which goes on to restart event mode.
    ASSERT_TRUE(WaitUntil([] { return racingResult != -99; }));
    EXPECT_EQ(racingResult, 0);

    // The new watcher shares the window class with the old one, which ends meanwhile.
    ASSERT_TRUE(Listening(2));
    PlugHot("SNB");
    EXPECT_TRUE(WaitForEvent(0, 1));
    EXPECT_TRUE(WaitForEvent(1, 1));
    vorn_usb_uninit_system();
    ExpectWatchers(2);
}

// Plugs a second instrument while the first scan reports the first, before the watcher listens.
void OSTREL_CALL PlugAnother(int deviceID, int attached)
{
    RecordEvent(deviceID, attached);
    if (attached == 1 && deviceID == 0)
        PlugHot("SNB");
}

TEST_F(EventModeTest, NothingPluggedWhileTheWatcherSetsUpIsMissedAndAQuietCatchUpWritesNothing)
{
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    vorn_usb_uninit_system();
    EXPECT_EQ(Logged("GetDevInfoSet: Device not connected."), 1) << "the catch-up of an unchanged bench says nothing";
    EXPECT_TRUE(Recorded().empty());

    PlugHot("SNA");
    ASSERT_EQ(vorn_usb_event_init(0, PlugAnother), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 2) << "plugged before the watcher listened, found by the catch-up";
    EXPECT_EQ(AsSet(Recorded()), (Events{{0, 1}, {1, 1}}));
}

// A second callback, told apart from RecordEvent by IDs shifted by 100.
void OSTREL_CALL RecordSecond(int deviceID, int attached)
{
    RecordEvent(deviceID + 100, attached);
}

TEST_F(EventModeTest, SecondEventInitTakesCallbackAndProductButStartsNoSecondWatcher)
{
    PlugHot("SNA");
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(Listening(1));
    ASSERT_EQ(vorn_usb_event_init(0x3000, RecordSecond), 0);
    EXPECT_EQ(Recorded().size(), 1u) << "instruments already known are left alone";
    PlugHot("SNB"); // another product now: refused
    PlugHot("SNC", 0x3000);
    ASSERT_TRUE(WaitForEvent(101, 1));
    EXPECT_EQ(AsSet(Recorded()), (Events{{0, 1}, {101, 1}}));
    vorn_usb_uninit_system();
    ExpectWatchers(1);
}

TEST_F(EventModeTest, WatcherThatCannotBeSetUpLogsWhyAndLeavesTheFirstScanInUse)
{
    // Each failing call, its line, and whether it failed in the watcher thread, which adds the error's text.
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"CreateThread", "CreateDiscoveryThread:  Could not create thread.", false},
        {"CreateEventA", "DiscoveryThread: Could not create event.", true},
        {"RegisterClassExA", "DiscoveryThread: Could not register window class.", true},
        {"CreateWindowExA", "DiscoveryThread: Could not create window.", true},
        {"RegisterDeviceNotificationA", "DiscoveryThread: Could not register for device notification.", true},
    };
    PlugHot("SNA");
    int enters = 0;
    for (const auto &[call, line, inThread] : cases) {
        SCOPED_TRACE(call);
        const std::string fault = "{\"call\": \"" + std::string(call) + "\", \"error\": 8, \"times\": 1}";
        ASSERT_EQ(ostrel_sim_inject_fault(fault.c_str()), 0);
        ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
        ASSERT_TRUE(WaitUntil([&] { return Logged(line) == 1; }));
        enters += inThread;
        EXPECT_EQ(CountLog(documents, "GetLastError = ", true), enters);
        EXPECT_EQ(Ask(0, "MEAS?"), "SNA") << "the first scan's table stays in use";
        vorn_usb_uninit_system();
        EXPECT_EQ(Logged(kEnter), enters);
    }
    EXPECT_EQ(Logged(kWaiting) + Logged(kExit), 0) << "a set-up failure ends the thread without the Exit line";

    // Each failure undid its own set-up: the next watcher starts and listens.
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(Listening(1));
    PlugHot("SNB");
    ASSERT_TRUE(WaitForEvent(1, 1));
}

TEST_F(EventModeTest, FailingWaitIsLoggedPausedAndRecoveredFrom)
{
    const char line[] = "DiscoveryThread: Could not wait for multiple objects.";
    PlugHot("SNA");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "MsgWaitForMultipleObjects", "error": 6, "times": 0})"), 0);
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_TRUE(WaitUntil([&] { return Logged(line) >= 3; }));

    ostrel_sim_reset(); // clears the fault and unplugs the instrument
    ASSERT_TRUE(WaitForEvent(0, 0)) << "the watcher waits normally again";
    vorn_usb_uninit_system();
    // At least 100 ms between two failed waits: a spinning loop would have logged thousands by now.
    EXPECT_LE(Logged(line), (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(100) + 1);
}

} // namespace
} // namespace ostrel::test
