// Shutdown as a windowed program meets it: uninit while the watcher's callback
// waits for the very thread calling it, uninit while a read waits without a
// time-out, and a restart that finds replies left from before.
#include "Scenario.h"
#include "ScenarioHost.h"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <thread>

namespace {

using namespace ostrel::scenario;

const char kLate[] = R"({"vid": 6699, "pid": 10590, "serial": "SN40001",
    "replies": {"*IDN?": "VORN 2961-P 1.0.0 01/01/24 SN40001\r\n"}})";

// Answers MEAS? after 200 ms with a line that looks like an identity.
const char kSlowMeter[] = R"({"vid": 6699, "pid": 10591, "serial": "SN40002",
    "replies": {"*IDN?": "VORN 2962-Q 1.0.0 01/01/24 SN40002\r\n",
                "MEAS?": {"reply": "0 1 2 3 4 5\r\n", "delay_ms": 200}}})";
const char kSlowKey[] = "2962-Q SN40002";

std::atomic<bool> holdCallback{false}, callbackEntered{false}, uninitReturned{false}, callbackSawUninit{false};
std::atomic<int> callbacks{0};

// As a windowed program's: hands the event to the main thread and waits for it,
// here until the main thread has come back from vorn_usb_uninit_system.
void OSTREL_CALL WaitForTheMainThread(int, int)
{
    ++callbacks;
    if (!holdCallback.exchange(false))
        return;
    callbackEntered = true;
    callbackSawUninit = WaitFor([] { return uninitReturned.load(); }, 10000);
}

SCENARIO("shutdown-while-a-callback-waits-for-it", ShutdownWhileCallbackWaits)
{
    vorn_usb_SetTraceLog(true);
    REQUIRE(PlugBench());
    LogMark log;
    REQUIRE(CHECK_EQ(vorn_usb_event_init(0, WaitForTheMainThread), 0, "event mode starts"));
    holdCallback = true;
    REQUIRE(CHECK(ostrel_sim_plug(kLate) >= 0, "an instrument is plugged"));
    REQUIRE(CHECK(WaitFor([] { return callbackEntered.load(); }), "its arrival reaches the callback, which waits"));
    const int before = callbacks;
    vorn_usb_uninit_system();
    uninitReturned = true;
    CHECK_EQ(vorn_usb_GetDeviceCount(), 0, "vorn_usb_uninit_system returned while the callback waited, table empty");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "and every instrument is closed");
    CHECK(WaitFor([&] { return log.Count("DiscoveryThread: Exit.") == 1; }),
          "once the callback returns, its watcher ends");
    CHECK(callbackSawUninit.load(), "the callback saw uninit return before it did");
    CHECK_EQ(callbacks.load(), before, "no callback started after uninit returned");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "the watcher opened nothing after uninit");
}

SCENARIO("pipe-time-outs-are-required-and-shutdown-aborts-a-read", PipeTimeOutsAndShutdownAbortsARead)
{
    vorn_usb_SetTraceLog(true);
    REQUIRE(PlugBench());
    LogMark log;
    // A pipe whose time-out could not be set would let a read wait for ever.
    REQUIRE(CHECK_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_SetPipePolicy", "error": 31, "times": 3})"), 0,
                     "setting pipe policies fails three times"));
    int count = -1;
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 0, "no instrument is taken without its time-outs");
    CHECK_EQ(log.Count("SetPipePolicy: Could not set the pipe policy."), 3, "each refusal says why");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "and the refused instruments are closed again");
    vorn_usb_uninit_system();
    REQUIRE(CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 3, "then the bench is discovered"));

    std::atomic<int> result{1};
    std::thread reader([&] {
        char reply[64];
        unsigned bytesRead = 0;
        result = vorn_usb_get_ascii_by_DeviceID(0, reply, sizeof reply, &bytesRead);
    });
    // Its entry looked up, the read waits on the pipe for its second.
    WaitFor([&] { return log.Count("GetDeviceTableEntry: Exit.") == 1; });
    std::atomic<bool> returned{false};
    std::thread closer([&] {
        vorn_usb_uninit_system();
        returned = true;
    });
    const bool ended = CHECK(WaitFor([&] { return returned.load() && result.load() != 1; }),
                             "vorn_usb_uninit_system returns and the read ends");
    if (!ended)
        std::_Exit(1); // both threads are stuck; nothing can join them
    reader.join();
    closer.join();
    CHECK_EQ(result.load(), -1, "the read fails");
    CHECK_EQ(log.Count("GetLastError = " + host::ErrorText(995)), 1, "aborted, not timed out: the log says so");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "nothing is left open");
}

SCENARIO("identification-reads-its-own-reply", IdentificationReadsItsOwnReply)
{
    vorn_usb_SetLogging(true);
    REQUIRE(PlugBench());
    const int slow = ostrel_sim_plug(kSlowMeter);
    REQUIRE(CHECK(slow >= 0, "a slow meter is plugged too"));
    LogMark first;
    int count = -1;
    REQUIRE(CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 4, "the bench is discovered"));
    CHECK_EQ(first.CountPrefix("*IDN? Response = "), 4, "with nothing held from before, one identity line each");
    CHECK_EQ(first.CountPrefix("DeviceDiscovery: "), 0, "and nothing discarded");

    // A measurement that takes 200 ms, written and never read, then a restart: its reply comes long after the
    // scan's first question, and looks like an identity, yet is not taken for one.
    std::string measure = "MEAS?";
    CHECK_EQ(vorn_usb_write_by_key(kSlowKey, &measure[0], 0), 0, "a slow measurement is started, never read");
    vorn_usb_uninit_system();
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 4, "the bench is discovered again");
    CHECK_EQ(DeviceKeys()[3], std::string(kSlowKey), "the slow meter is keyed by its own identity");
    std::string identify = "*IDN?";
    char reply[64] = "";
    unsigned bytesRead = 0;
    CHECK(vorn_usb_write_by_key(kSlowKey, &identify[0], 0) == 0 &&
              vorn_usb_read_ascii_by_key(kSlowKey, reply, sizeof reply, &bytesRead) == 0 &&
              std::string(reply) == "VORN 2962-Q 1.0.0 01/01/24 SN40002",
          "nothing of the scan's own questions is left for the program to read");
    vorn_usb_uninit_system();
    count = -1;
    REQUIRE(CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 4, "and once more"));

    // A program stopped between a write and its read: the echoing logger keeps the reply.
    std::string junk = "JUNK 1 2 3 4 5";
    CHECK_EQ(vorn_usb_write_by_key(BenchKeys()[2].c_str(), &junk[0], 0), 0, "a command is written, never read");
    vorn_usb_uninit_system();
    LogMark log;
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 4, "the bench is discovered again");
    std::vector<std::string> keys = BenchKeys();
    keys.push_back(kSlowKey);
    CHECK_EQ(DeviceKeys(), keys, "every instrument is keyed by its own identity");
    CHECK_EQ(log.Count("DeviceDiscovery: Discarded 15 bytes the instrument held from before."), 1,
             "the old reply is discarded, and the log says so");

    // One that never falls silent (more held than is ever discarded) is not identified.
    const std::string block(1024, 'x');
    for (int i = 0; i < 70; ++i) {
        std::string sent = block;
        vorn_usb_send_binary(2, &sent[0], static_cast<unsigned>(sent.size()));
    }
    vorn_usb_uninit_system();
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 3, "an instrument that keeps sending is left out");
    CHECK_EQ(log.Count("DeviceDiscovery: The instrument does not stop sending; it is not identified."), 1,
             "the log says why");
    CHECK_EQ(ostrel_sim_open_handles(), 6, "its handles are closed");
    UninitLeavesNothingOpen();
}

SCENARIO("unload-right-after-uninit-while-a-callback-runs", UnloadWhileACallbackRuns)
{
    const std::vector<std::string> command = host::UnloadCheckCommand(Documents());
    int exitCode = -1;
    const bool ended =
        host::RunProcess(command[0], std::vector<std::string>(command.begin() + 1, command.end()), 60000, exitCode);
    CHECK(ended && exitCode == 0, "a program that unloads the library as uninit returns, while the watcher is still "
                                  "in its callback, does not crash, and the library goes once the callback returned");
}

} // namespace
