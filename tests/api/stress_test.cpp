// Thread safety under load: transfers and listings on several threads while
// instruments come and go hundreds of times and the callback calls back in;
// restarts of event mode in the middle of it; and a slow instrument next to a
// fast one.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/HotplugSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ostrel::test;
using Clock = std::chrono::steady_clock;

// Listings are sized by the caller, and the table may grow between asking
// for the count and copying: arrays hold more than a test ever plugs.
constexpr int kRoom = 1024;
// Under ThreadSanitizer on two shared cores; a run that takes longer fails.
constexpr std::chrono::seconds kBudget{90};

std::string SerialOf(const std::string &key)
{
    const size_t blank = key.find(' ');
    return blank == std::string::npos ? std::string() : key.substr(blank + 1);
}

// Findings of the threads, reported by the test thread at the end.
class Problems {
public:
    void Add(const std::string &what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (list.size() < 20)
            list.push_back(what);
        ++count;
    }
    std::string Report()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string text = std::to_string(count) + " problem(s)";
        for (const std::string &line : list)
            text += "\n  " + line;
        return text;
    }
    int Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }

private:
    std::mutex mutex;
    std::vector<std::string> list;
    int count = 0;
};
Problems problems;

void ExpectResult(const char *call, int result)
{
    if (result != 0 && result != -1)
        problems.Add(std::string(call) + " returned " + std::to_string(result));
}

// Caller-sized arrays for every listing.
struct Listing {
    std::vector<std::array<char, 64>> storage = std::vector<std::array<char, 64>>(kRoom);
    std::vector<char *> keys = std::vector<char *>(kRoom);
    std::vector<int> ids = std::vector<int>(kRoom), models = std::vector<int>(kRoom),
                     serials = std::vector<int>(kRoom), registered = std::vector<int>(kRoom);
    std::vector<char> info = std::vector<char>(64 * kRoom + 1);
    Listing()
    {
        for (int i = 0; i < kRoom; ++i)
            keys[i] = storage[i].data();
    }
};

// Every listing export once; returns the device IDs of the table.
std::vector<int> ListEverything(Listing &l)
{
    const int count = vorn_usb_GetDeviceCount();
    if (count < 0)
        problems.Add("GetDeviceCount < 0");
    const int keys = vorn_usb_GetDeviceKeys(l.keys.data());
    if (keys < 0 || keys > kRoom)
        problems.Add("GetDeviceKeys gave " + std::to_string(keys));
    ExpectResult("vorn_usb_get_device_info", vorn_usb_get_device_info(l.info.data()));
    int listed = -1;
    ExpectResult("GetInstrumentList", GetInstrumentList(l.ids.data(), l.models.data(), l.serials.data(), &listed));
    if (listed < 0 || listed > kRoom)
        problems.Add("GetInstrumentList count " + std::to_string(listed));
    ExpectResult("vorn_usb_event_get_attached_devices",
                 vorn_usb_event_get_attached_devices(l.keys.data(), l.registered.data()));
    ExpectResult("vorn_usb_get_model_serial_keys", vorn_usb_get_model_serial_keys(l.keys.data()));
    return std::vector<int>(l.ids.begin(), l.ids.begin() + std::max(0, std::min(listed, kRoom)));
}

// ---- Many plugs, transfers and listings at once ----------------------------

struct HotPlugState {
    std::mutex mutex;
    std::set<int> live;
    std::set<std::string> seenKeys;
    std::atomic<int> attached{0};
    std::atomic<int> detached{0};
};
HotPlugState hot;

// Looks the instrument up and queries it from inside the callback: the reply
// must be its own, or the transfer fails because it is already unplugged.
void OSTREL_CALL StressCallback(int deviceID, int attached)
{
    if (attached == 0) {
        std::lock_guard<std::mutex> lock(hot.mutex);
        if (hot.live.erase(deviceID) != 1)
            problems.Add("removal of ID " + std::to_string(deviceID) + " that was not attached");
        ++hot.detached;
        return;
    }
    char key[64] = {};
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    if (vorn_usb_GetDeviceCount() < 1 || key[0] == '\0')
        problems.Add("the reported instrument " + std::to_string(deviceID) + " is not in the table");
    const std::string reply = Measure(deviceID);
    if (reply != SerialOf(key) && reply != "<read failed>" && reply != "<write failed>")
        problems.Add("ID " + std::to_string(deviceID) + " (" + key + ") replied '" + reply + "'");
    std::lock_guard<std::mutex> lock(hot.mutex);
    if (!hot.live.insert(deviceID).second)
        problems.Add("ID " + std::to_string(deviceID) + " attached twice");
    hot.seenKeys.insert(key);
    ++hot.attached;
}

bool KeySeen(const std::string &key)
{
    std::lock_guard<std::mutex> lock(hot.mutex);
    return hot.seenKeys.count(key) != 0;
}

// Queries a permanent instrument that no other thread talks to, by ID or by
// key: whatever else happens, its reply must be exact.
void QueryOwn(int id, const std::string &serial, bool byKey)
{
    if (!byKey) {
        const std::string reply = Measure(id);
        if (reply != serial)
            problems.Add("own instrument " + serial + " replied '" + reply + "'");
        return;
    }
    const std::string key = KeyOf(serial);
    char command[] = "MEAS?\r";
    ExpectResult("vorn_usb_write_by_key", vorn_usb_write_by_key(key.c_str(), command, 0));
    char reply[64] = {};
    unsigned got = 0;
    if (vorn_usb_read_ascii_by_key(key.c_str(), reply, sizeof reply, &got) != 0 || serial != reply)
        problems.Add("own instrument " + serial + " by key replied '" + reply + "'");
}

// Queries its own permanent instrument, if it has one, lists, writes to
// whatever else the table holds and keeps a key of its own in the registry.
// With `rescan`, runs a static discovery now and then.
void Worker(int own, const std::string &ownSerial, bool rescan, const std::atomic<bool> &stop)
{
    Listing listing;
    std::mt19937 random(static_cast<unsigned>(own) + 7);
    const std::string registryKey = "worker " + std::to_string(own);
    for (int round = 0; !stop; ++round) {
        if (!ownSerial.empty())
            QueryOwn(own, ownSerial, round % 2 == 1);
        std::vector<int> ids = ListEverything(listing);
        if (ids.size() < 2)
            problems.Add("a permanent instrument left the table");
        for (int id : ids) {
            if (id < 2 || random() % 3 != 0)
                continue;
            // A command nobody answers: it queues no reply that the
            // callback's query could mistake for its own.
            char command[] = "*CLS";
            ExpectResult("vorn_usb_send_binary", vorn_usb_send_binary(id, command, 4));
            char key[64] = {};
            vorn_usb_GetDeviceKeyFromDeviceID(id, key);
            ExpectResult("vorn_usb_write_binary_by_key", vorn_usb_write_binary_by_key(key, command, 4));
        }
        ExpectResult("vorn_usb_event_assign_key", vorn_usb_event_assign_key(registryKey.c_str(), own));
        char found[64] = {};
        ExpectResult("vorn_usb_event_get_key_from_handle", vorn_usb_event_get_key_from_handle(own, found));
        if (vorn_usb_event_remove_key(registryKey.c_str()) != 0)
            problems.Add("the registry lost " + registryKey);
        if (rescan && round % 32 == 0) {
            int count = -1;
            ExpectResult("vorn_usb_open_devices", vorn_usb_open_devices(0, false, &count));
            if (count < 2)
                problems.Add("static discovery counted " + std::to_string(count));
        }
    }
}

TEST(Stress, TransfersAndListingsWhileInstrumentsComeAndGo)
{
    const std::string docs = UseTempDocuments();
    const auto deadline = Clock::now() + kBudget;
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("PERM0").c_str()), 0);
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("PERM1").c_str()), 0);
    ASSERT_EQ(vorn_usb_event_init(0, StressCallback), 0);
    ASSERT_EQ(hot.attached, 2);

    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    workers.emplace_back(Worker, 0, "PERM0", false, std::cref(stop));
    workers.emplace_back(Worker, 1, "PERM1", false, std::cref(stop));
    workers.emplace_back(Worker, 2, "", true, std::cref(stop));

    // Up to four hot instruments at a time, each plugged once; every tenth
    // must be reported while it is still there.
    std::deque<int> plugged;
    bool inTime = true;
    for (int cycle = 0; cycle < 300 && inTime; ++cycle) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "HP%03d", cycle);
        const int slot = ostrel_sim_plug(InstrumentJson(serial).c_str());
        if (slot < 0) {
            problems.Add(std::string("plug failed: ") + ostrel_sim_last_error());
            continue;
        }
        plugged.push_back(slot);
        if (plugged.size() > 4) {
            if (ostrel_sim_unplug(plugged.front()) != 0)
                problems.Add("unplug failed");
            plugged.pop_front();
        }
        if (cycle % 10 == 9 && !WaitUntil([&] { return KeySeen(KeyOf(serial)); }))
            problems.Add(std::string(serial) + " was never reported");
        inTime = Clock::now() < deadline;
    }
    for (int slot : plugged)
        ostrel_sim_unplug(slot);

    // Settled: only the permanent instruments are left, and every instrument
    // reported attached has been reported gone.
    const bool settled = WaitUntil([] { return vorn_usb_GetDeviceCount() == 2 && hot.attached - hot.detached == 2; });
    stop = true;
    for (std::thread &worker : workers)
        worker.join();
    EXPECT_TRUE(inTime) << "the run took longer than its budget";
    EXPECT_TRUE(settled) << hot.attached << " attached, " << hot.detached << " detached, "
                         << vorn_usb_GetDeviceCount() << " in the table";
    EXPECT_GE(hot.attached, 2 + 30);
    EXPECT_EQ(problems.Count(), 0) << problems.Report();

    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
    // A transfer racing a removal fails on the unplugged device, never on
    // handles the removal has already closed.
    EXPECT_FALSE(LogHasPrefix(docs, "GetLastError = The handle is invalid."));
}

// ---- Restarts in the middle of it -------------------------------------------

std::atomic<int> callbackRestartsLeft{3};
thread_local bool restarting = false;

// Now and then shuts event mode down and starts it again from inside the
// callback - on the watcher, that is the watcher stopping itself.
void OSTREL_CALL RestartingCallback(int deviceID, int attached)
{
    if (attached == 1)
        (void)Measure(deviceID);
    if (restarting || callbackRestartsLeft.fetch_sub(1) <= 0)
        return;
    restarting = true;
    vorn_usb_uninit_system();
    ExpectResult("vorn_usb_event_init", vorn_usb_event_init(0, RestartingCallback));
    restarting = false;
}

TEST(Stress, EventModeRestartsWhileInstrumentsComeAndGo)
{
    const std::string docs = UseTempDocuments();
    const auto deadline = Clock::now() + kBudget;
    std::atomic<bool> stop{false};

    std::thread restarter([&] {
        for (int round = 0; round < 12 && Clock::now() < deadline; ++round) {
            ExpectResult("vorn_usb_event_init", vorn_usb_event_init(0, RestartingCallback));
            std::this_thread::yield();
            vorn_usb_uninit_system();
        }
    });
    std::thread lister([&] {
        Listing listing;
        while (!stop) {
            for (int id : ListEverything(listing)) {
                // A restart renumbers the instruments and identifies them
                // anew, on the same pipes as this query: whoever reads first
                // takes the first reply.
                const std::string reply = Measure(id);
                if (reply.rfind("HP", 0) != 0 && reply.rfind("VORN 2936-R 1.0.3 01/02/24 HP", 0) != 0 &&
                    reply != "<read failed>" && reply != "<write failed>")
                    problems.Add("ID " + std::to_string(id) + " replied '" + reply + "'");
            }
        }
    });

    std::deque<int> plugged;
    for (int cycle = 0; cycle < 150 && Clock::now() < deadline; ++cycle) {
        const int slot = ostrel_sim_plug(InstrumentJson("HP" + std::to_string(cycle)).c_str());
        if (slot >= 0)
            plugged.push_back(slot);
        if (plugged.size() > 3) {
            ostrel_sim_unplug(plugged.front());
            plugged.pop_front();
        }
        if (cycle % 15 == 14)
            WaitUntil([] { return vorn_usb_GetDeviceCount() > 0; }, std::chrono::milliseconds(300));
    }
    restarter.join();
    stop = true;
    lister.join();
    EXPECT_LT(Clock::now(), deadline) << "the run took longer than its budget";

    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
    EXPECT_EQ(problems.Count(), 0) << problems.Report();
    EXPECT_FALSE(LogHasPrefix(docs, "DiscoveryThread: Could not")) << "a watcher started before the last one let go";

    // Whatever the restarts left behind, a fresh start still works.
    for (int slot : plugged)
        ostrel_sim_unplug(slot);
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("FRESH").c_str()), 0);
    Recorded().Clear();
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    EXPECT_EQ(Recorded().Count(), 1u);
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("LATE").c_str()), 0);
    EXPECT_TRUE(Recorded().WaitFor(1, 1));
    vorn_usb_uninit_system();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

// ---- A slow instrument next to a fast one ------------------------------------

TEST(Stress, SlowInstrumentHoldsUpNoOther)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    const std::string slowReply = "\"reply_delay_ms\": 500";
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("FAST").c_str()), 0);
    ASSERT_GE(ostrel_sim_plug(InstrumentJson("SLOW", 0x2936, slowReply).c_str()), 0);
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    ASSERT_EQ(Recorded().Count(), 2u);

    // While the slow instrument's reply is pending, the fast one answers
    // again and again. Were transfers serialised, at most the one query that
    // slipped in before the slow read could finish.
    std::atomic<bool> reading{false};
    std::atomic<bool> slowDone{false};
    std::string slowAnswer;
    std::thread slow([&] {
        char command[] = "MEAS?";
        if (vorn_usb_send_ascii(1, command, 0) == 0) {
            reading = true;
            char reply[64] = {};
            unsigned got = 0;
            if (vorn_usb_get_ascii_by_DeviceID(1, reply, sizeof reply, &got) == 0)
                slowAnswer = reply;
        }
        reading = true;
        slowDone = true;
    });
    // Set after the read too, so that a failed write cannot leave this waiting.
    EXPECT_TRUE(WaitUntil([&] { return reading.load(); }));
    int whilePending = 0;
    while (!slowDone) {
        EXPECT_EQ(Measure(0), "FAST");
        if (!slowDone)
            ++whilePending;
    }
    slow.join();
    EXPECT_EQ(slowAnswer, "SLOW");
    EXPECT_GE(whilePending, 2);

    // A scan identifying a slow newcomer does not stall the table's others.
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, "DiscoveryThread: Waiting for device messages.") == 1; }));
    const int newcomer = ostrel_sim_plug(InstrumentJson("SLOW2", 0x2936, slowReply).c_str());
    ASSERT_GE(newcomer, 0);
    ASSERT_TRUE(WaitUntil([&] {
        char received[64] = {};
        return ostrel_sim_received(newcomer, received, sizeof received - 1) > 0 &&
               std::strstr(received, "*IDN?") != nullptr;
    }));
    int duringScan = 0;
    const auto limit = Clock::now() + kPatience;
    while (Recorded().Count() < 3 && Clock::now() < limit) {
        char command[] = "MEAS?";
        char reply[64] = {};
        unsigned got = 0;
        EXPECT_EQ(vorn_usb_write_by_key(KeyOf("FAST").c_str(), command, 0), 0);
        EXPECT_EQ(vorn_usb_read_ascii_by_key(KeyOf("FAST").c_str(), reply, sizeof reply, &got), 0);
        EXPECT_STREQ(reply, "FAST");
        if (Recorded().Count() < 3)
            ++duringScan;
    }
    ASSERT_TRUE(Recorded().WaitFor(2, 1));
    EXPECT_GE(duringScan, 2);

    vorn_usb_uninit_system();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

} // namespace
