// Instrument, fault and bench-file JSON: every refusal has a reason, and a refused bench plugs nothing.
#include "unit/sim_session.h"

#include <cstring>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace ostrel::test {
namespace {

using SimJsonTest = BenchTest;

int LoadBench(const char *text) // through a file, as users load a bench
{
    const std::string path = "/tmp/ostrel-bench-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << text;
    const int plugged = ostrel_sim_load_bench(path.c_str());
    return unlink(path.c_str()), plugged;
}

TEST_F(SimJsonTest, BadJsonIsRefusedWithItsReasonAndPlugsNothingAndPathsAndSlotsAreNeverShared)
{
    const auto plug = ostrel_sim_plug, fault = ostrel_sim_inject_fault, bench = LoadBench;
    const std::string one = R"({"vid": 1, "pid": 1, )", g1 = R"({"vid": 6699, "pid": 1, "serial": "G1"})";
    const struct { int (*call)(const char *); std::string json, reason; } cases[] = {
        {plug, R"({"vid": 65536, "pid": 1})", "\"vid\" must"}, {plug, R"({"vid": "1", "pid": 1})", "\"vid\" must"},
        {plug, R"({"vid": -1, "pid": 1})", "\"vid\" must"}, {plug, R"({"pid": 1})", "\"vid\" is missing"},
        {plug, "{\"vid\": 1, ", "not JSON"}, {plug, "\"\xff\"", "not JSON"}, {bench, "x", "not JSON"},
        {plug, one + R"("endpoints": [{"address": 1, "type": "bulk"}, {"address": 1, "type": "bulk"}]})", "twice"},
        {plug, one + R"("endpoints": [{"address": 256, "type": "bulk"}]})", "\"address\""},
        {plug, one + R"("endpoints": [{"address": 129, "type": "bulky"}]})", "\"type\""},
        {plug, std::string(100000, '[') + std::string(100000, ']'), "object"}, {plug, "[1, 2]", "object"},
        {plug, one + R"("descriptor_length": 19})", "\"descriptor"}, {plug, one + R"("serial": "A#B"})", "\"serial\""},
        {plug, one + R"("reply_delay_ms": -5})", "\"reply_delay"}, {plug, one + R"("replies": {"A?": 5}})", "a string"},
        {plug, one + R"("replies": {"A?": "\u0100"}})", "00FF"}, {plug, one + R"("echo": "yes"})", "\"echo\""},
        {plug, one + R"("replies": {"\u20ac?": "1"}})", "00FF"}, {plug, one + R"("path": ""})", "\"path\""},
        {fault, R"({"call": "WinUsb_Frobnicate", "error": 31})", "WinUsb_Frobnicate"}, {fault, "[]", "object"},
        {fault, R"({"call": "WinUsb_Free", "error": 1, "times": "2"})", "\"times\""},
        {fault, R"({"call": "WinUsb_Free"})", "\"error\""}, {fault, R"({"call": 3, "error": 1})", "\"call\""},
        {bench, "{\"instruments\": [" + g1 + R"(, {"vid": 6699, "pid": 2, "echo": 1}]})", "instrument 1: \"echo\""},
        {bench, "{\"instruments\": [" + g1 + ", " + g1 + "]}", "already plugged"}, {bench, "[" + g1 + "]", "a list"},
        {ostrel_sim_load_bench, "/nonexistent/bench.json", "no such file"}, {bench, R"({"instrument": []})", "a list"},
        {ostrel_sim_load_bench, "/tmp", "it is a folder, not a file"}, {bench, "{\"instruments\": [\n}", "line 2, col"},
        {plug, one + R"("replys": {}})", "unknown key \"replys\" (known keys: vid, pid,"},
        {bench, R"({"instruments": [], "bench": 1})", "unknown key \"bench\""}, {plug, R"({"vid": "0x", "pid": 1})", "hex"},
        {plug, R"({"vid": 1, "pid": "0x12345"})", "\"pid\" must be a number or a hex"},
        {plug, one + R"("endpoints": [{"address": 129, "type": "bulk", "size": 1}]})", "unknown key \"size\""},
        {fault, R"({"call": "WinUsb_Free", "error": 1, "time": 2})", "unknown key \"time\""},
        {plug, one + R"("replies": {"A?": {"reply": "a", "delay": 5}}})", "the reply to \"A?\": unknown key"},
        {plug, one + R"("replies": {"A?": {"delay_ms": 5}}})", "\"reply\" is missing"},
        {plug, one + R"("replies": {"A?": []}})", "the reply to \"A?\": a list of replies must hold at least one"},
        {plug, one + R"("replies": {"A?": ["a", 5]}})", "the reply to \"A?\", number 1 must be a string"},
        {plug, one + R"("properties": {"u": {"default": "A", "set": "U"}}})", "property \"u\": \"set\" must hold"},
        {plug, one + R"("properties": {"u": {"default": "A", "set": "U {} {}"}}})", "one \"{}\""},
        {plug, one + R"("properties": {"u": {"default": "A", "get": "U?", "values": ["B"]}}})", "one of \"values\""},
        {plug, one + R"("properties": {"u": {"default": "A"}}})", "needs \"get\", \"set\" or both"},
        {plug, one + R"("properties": {"u": {"get": "U?"}}})", "\"default\" is missing"},
        {plug, one + R"("properties": {"u": {"default": "A", "get": "U?", "max": 3}}})", "unknown key \"max\""},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(c.call(c.json.c_str()) == -1 && std::strstr(ostrel_sim_last_error(), c.reason.c_str()) &&
                    !std::strstr(ostrel_sim_last_error(), "json.exception"))
            << c.json.substr(0, 80) << " gave: " << ostrel_sim_last_error();
    std::thread([] { EXPECT_EQ(ostrel_sim_unplug(12345), -1); }).join();
    EXPECT_TRUE(std::strstr(ostrel_sim_last_error(), std::end(cases)[-1].reason.c_str())) << "this thread's reason";
    for (auto call : {plug, fault, ostrel_sim_load_bench})
        EXPECT_EQ(call(nullptr), -1);
    EXPECT_TRUE(PresentPaths().empty());

    const int first = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})"); // no path twice, not even across a bench
    EXPECT_EQ(ostrel_sim_plug(R"({"vid": 1, "pid": 1,
        "path": "\\\\?\\usb#vid_1a2b&pid_0001#a#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}"})"), -1); // whatever the case
    const std::string clash = R"({"instruments": [{"vid": 6699, "pid": 2}, {"vid": 6699, "pid": 1, "serial": "A"}]})";
    EXPECT_EQ(LoadBench(clash.c_str()), -1); // refused whole
    EXPECT_EQ(PresentPaths().size(), 1u);
    ASSERT_EQ(ostrel_sim_unplug(first), 0);
    EXPECT_EQ(LoadBench(clash.c_str()), 2);
    EXPECT_GT(Plug(R"({"vid": 6699, "pid": 3})"), first + 2);
    EXPECT_EQ(ostrel_sim_unplug(first), -1);
    Plug(R"({"vid": "0x1A2b", "pid": "0XFFFF", "serial": "H"})"); // IDs as lsusb writes them
    EXPECT_EQ(PresentPaths().back(), "\\\\?\\USB#VID_1A2B&PID_FFFF#H#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}");
}

} // namespace
} // namespace ostrel::test
