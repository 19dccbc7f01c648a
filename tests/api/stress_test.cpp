// Thread safety under load: transfers, listings and a callback that calls back in while instruments come and go
// hundreds of times; event mode restarting in the middle of it; a slow instrument beside a fast one.
#include "api/api_session.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <set>

namespace ostrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using StressTest = ApiTest;

// Key "2936-R <serial>"; answers MEAS? with its serial.
int PlugHot(const std::string &sn, const std::string &more = "")
{
    return Plug({.serial = sn, .idn = Idn("2936-R", sn), .replies = {{"MEAS?", sn + "\r\n"}}, .fields = more});
}

// Plugs instruments one after another, keeping at most `kept` (returned at the end); `each` runs after every plug.
// Stops early on a loaded machine rather than run into the suite's time-out, and at a failure rather than repeat it.
std::deque<int> Churn(int cycles, size_t kept, const std::function<void(int cycle)> &each)
{
    const auto deadline = Clock::now() + std::chrono::seconds(80);
    std::deque<int> plugged;
    for (int cycle = 0; cycle < cycles && Clock::now() < deadline && !::testing::Test::HasFailure(); ++cycle) {
        plugged.push_back(PlugHot("HP" + std::to_string(1000 + cycle)));
        if (plugged.size() > kept) {
            ostrel_sim_unplug(plugged.front());
            plugged.pop_front();
        }
        each(cycle);
    }
    return plugged;
}

// 0 is done, -1 failed on an instrument that went; anything else is wrong.
void ExpectResults(std::initializer_list<int> results)
{
    for (int result : results)
        EXPECT_TRUE(result == 0 || result == -1) << result;
}

// Every listing export once, sized beyond what the table may grow to meanwhile; returns the table's device IDs.
std::vector<int> ListEverything()
{
    constexpr int kRoom = 1024;
    thread_local KeyBuffers keys(kRoom);
    thread_local std::vector<int> ids(kRoom), numbers(kRoom);
    thread_local std::vector<char> info(64 * kRoom + 1);
    int listed = -1;
    ExpectResults({GetInstrumentList(ids.data(), numbers.data(), numbers.data(), &listed),
                   vorn_usb_get_device_info(info.data()), vorn_usb_get_model_serial_keys(keys.pointers.data()),
                   vorn_usb_event_get_attached_devices(keys.pointers.data(), numbers.data())});
    EXPECT_LE(std::max(vorn_usb_GetDeviceKeys(keys.pointers.data()), listed), 100) << "more than was ever plugged";
    return std::vector<int>(ids.begin(), ids.begin() + std::clamp(listed, 0, 100));
}

std::mutex hotMutex;
std::set<int> live;
std::atomic<bool> reported[300];
std::atomic<int> attachedCount{0}, detachedCount{0};

// Queries the instrument from inside the callback: it answers itself, or has already been unplugged.
void OSTREL_CALL StressCallback(int deviceID, int attached)
{
    char key[64] = "";
    if (attached == 1) {
        vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
        ASSERT_NE(std::strchr(key, ' '), nullptr) << "ID " << deviceID << " is not in the table";
        const std::string reply = Ask(deviceID, "MEAS?");
        EXPECT_TRUE(reply == std::strchr(key, ' ') + 1 || reply == "<failed>") << key << " replied " << reply;
    }
    std::lock_guard<std::mutex> lock(hotMutex);
    EXPECT_TRUE(attached == 1 ? live.insert(deviceID).second : live.erase(deviceID) == 1) << deviceID << attached;
    if (std::strncmp(key, "2936-R HP", 9) == 0)
        reported[std::stoi(key + 9) - 1000] = true;
    ++(attached ? attachedCount : detachedCount);
}

// Queries its own instrument; lists; writes to others by ID and key; with `rescan`, runs static discoveries.
void Worker(int own, const std::string &ownSerial, bool rescan, const std::atomic<bool> &stop)
{
    for (int round = 0; !stop && !::testing::Test::HasFailure(); ++round) {
        EXPECT_TRUE(ownSerial.empty() || Ask(own, "MEAS?") == ownSerial) << ownSerial;
        const std::vector<int> ids = ListEverything();
        EXPECT_GE(ids.size(), 2u) << "a permanent instrument left the table";
        // A command nobody answers queues no reply the callback's query could take for its own.
        char command[] = "*CLS", key[64] = "";
        for (size_t i = static_cast<size_t>(round) % 3; i < ids.size(); i += 3) {
            vorn_usb_GetDeviceKeyFromDeviceID(ids[i], key);
            ExpectResults({vorn_usb_send_binary(ids[i], command, 4), vorn_usb_write_binary_by_key(key, command, 4)});
        }
        int count = -1;
        EXPECT_TRUE(!rescan || round % 32 || (vorn_usb_open_devices(0, false, &count) == 0 && count >= 2)) << count;
    }
}

TEST_F(StressTest, TransfersAndListingsWhileInstrumentsComeAndGo)
{
    PlugHot("PERM0");
    PlugHot("PERM1");
    ASSERT_EQ(vorn_usb_event_init(0, StressCallback), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int own : {0, 1, 2})
        workers.emplace_back(Worker, own, own < 2 ? "PERM" + std::to_string(own) : "", own == 2, std::cref(stop));
    // Up to four hot instruments at a time; every tenth must be reported while it is still there.
    const auto tenth = [](int n) { EXPECT_TRUE(n % 10 != 9 || WaitUntil([n] { return reported[n] == true; })); };
    for (int slot : Churn(300, 4, tenth))
        ostrel_sim_unplug(slot);
    // Settled: the permanent instruments are left, and every instrument reported attached was reported gone.
    EXPECT_TRUE(WaitUntil([] { return vorn_usb_GetDeviceCount() == 2 && attachedCount - detachedCount == 2; }));
    stop = true;
    for (std::thread &worker : workers)
        worker.join();
    EXPECT_GE(attachedCount, 2 + 30);
    vorn_usb_uninit_system();
    // A transfer racing a removal fails on the unplugged device, never on handles the removal closed.
    EXPECT_EQ(CountLog(documents, "GetLastError = The handle is invalid.", true), 0);
}

std::atomic<int> callbackRestartsLeft{3};
thread_local bool restarting = false;

// Restarts event mode from inside the callback: on the watcher, that is the watcher stopping itself.
void OSTREL_CALL RestartingCallback(int deviceID, int attached)
{
    if (attached == 1)
        (void)Ask(deviceID, "MEAS?");
    if (restarting || callbackRestartsLeft.fetch_sub(1) <= 0)
        return;
    restarting = true;
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_event_init(0, RestartingCallback), 0);
    restarting = false;
}

TEST_F(StressTest, EventModeRestartsWhileInstrumentsComeAndGo)
{
    std::atomic<bool> stop{false};
    std::thread restarter([] {
        for (int round = 0; round < 12 && !HasFailure(); ++round) {
            EXPECT_EQ(vorn_usb_event_init(0, RestartingCallback), 0);
            std::this_thread::yield(); // lets the other threads start transfers on the new table
            vorn_usb_uninit_system();
        }
    });
    std::thread lister([&] {
        while (!stop && !HasFailure())
            for (int id : ListEverything()) {
                // A restart identifies them anew on the pipes of this query: who reads first takes the reply.
                const std::string reply = Ask(id, "MEAS?");
                EXPECT_TRUE(reply.rfind("HP", 0) == 0 || reply.rfind("VORN 2936-R 1.0.3 01/02/24 HP", 0) == 0 ||
                            reply == "<failed>") << "ID " << id << " replied " << reply;
            }
    });
    // The last ones stay plugged, for the transfers racing the restarts that are still to come.
    const std::deque<int> plugged = Churn(150, 3, [](int n) {
        if (n % 15 == 14)
            WaitUntil([] { return vorn_usb_GetDeviceCount() > 0; }, std::chrono::milliseconds(300));
    });
    restarter.join();
    stop = true;
    lister.join();
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount() + ostrel_sim_open_handles(), 0);
    EXPECT_EQ(CountLog(documents, "DiscoveryThread: Could not", true), 0) << "a watcher started before the last let go";

    // Whatever the restarts left behind, a fresh start still works.
    for (int slot : plugged)
        ostrel_sim_unplug(slot);
    PlugHot("FRESH");
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    PlugHot("LATE");
    EXPECT_TRUE(WaitForEvent(1, 1));
}

// How often the instrument with ID 0 answered its own reply while `pending` held.
int FastAnswersWhile(const std::function<bool()> &pending)
{
    int answers = 0;
    for (const auto limit = Clock::now() + kPatience; pending() && Clock::now() < limit; answers += pending())
        EXPECT_EQ(Ask(0, "MEAS?"), "FAST");
    return answers;
}

TEST_F(StressTest, SlowInstrumentHoldsUpNoOther)
{
    vorn_usb_SetTraceLog(true);
    PlugHot("FAST");
    const int slowSlot = PlugHot("SLOW", "\"reply_delay_ms\": 500");
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);

    // While the slow instrument's reply is pending, the fast one answers again and again; were transfers
    // serialised, at most the one query that slipped in before the slow read could finish.
    std::atomic<bool> slowDone{false};
    std::string slowReply;
    std::thread slow([&] {
        slowReply = Ask(1, "MEAS?");
        slowDone = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return Received(slowSlot) == "*IDN?\r*IDN?\rMEAS?\r" || slowDone; }));
    EXPECT_GE(FastAnswersWhile([&] { return !slowDone; }), 2);
    slow.join();
    EXPECT_EQ(slowReply, "SLOW");

    // Nor does a scan identifying a slow newcomer.
    ASSERT_TRUE(WaitUntil([&] { return CountLog(documents, "DiscoveryThread: Waiting for device messages.") == 1; }));
    const int newcomer = PlugHot("SLOW2", "\"reply_delay_ms\": 500");
    ASSERT_TRUE(WaitUntil([&] { return Received(newcomer) == "*IDN?\r"; }));
    EXPECT_GE(FastAnswersWhile([] { return Recorded().size() < 3; }), 2);
    EXPECT_TRUE(WaitForEvent(2, 1));
}

} // namespace
} // namespace ostrel::test
