// Instrument and bench-file JSON: every refusal has a reason, and a refused bench plugs nothing.
#include "unit/sim_session.h"

#include <cstdio>
#include <fstream>
#include <thread>

namespace ostrel::test {
namespace {

using SimJsonTest = BenchTest;

std::string WriteTempFile(const std::string &text)
{
    char name[] = "/tmp/ostrel-bench-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    std::FILE *file = fdopen(fd, "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
    return name;
}

TEST_F(SimJsonTest, BadInstrumentsAreRefusedWithAReasonAndPlugNothing)
{
    const struct {
        const char *json;
        const char *reason;
    } cases[] = {
        {"{\"vid\": 1, ", "not JSON"},
        {"[1, 2]", "object"},
        {R"({"pid": 1})", "\"vid\" is missing"},
        {R"({"vid": "1", "pid": 1})", "\"vid\" must be an integer"},
        {R"({"vid": -1, "pid": 1})", "\"vid\" must be an integer"},
        {R"({"vid": 65536, "pid": 1})", "\"vid\" must be an integer"},
        {R"({"vid": 1, "pid": 1, "endpoints": [{"address": 129, "type": "bulky"}]})", "\"type\""},
        {R"({"vid": 1, "pid": 1, "endpoints": [{"address": 1, "type": "bulk"}, {"address": 1, "type": "bulk"}]})",
         "twice"},
        {R"({"vid": 1, "pid": 1, "endpoints": [{"address": 256, "type": "bulk"}]})", "\"address\""},
        {R"({"vid": 1, "pid": 1, "replies": {"A?": "\u0100"}})", "\\u00FF"},
        {R"({"vid": 1, "pid": 1, "replies": {"\u20ac?": "1"}})", "\\u00FF"},
        {R"({"vid": 1, "pid": 1, "replies": {"A?": 5}})", "must be a string"},
        {R"({"vid": 1, "pid": 1, "echo": "yes"})", "\"echo\""},
        {R"({"vid": 1, "pid": 1, "descriptor_length": 19})", "\"descriptor_length\""},
        {R"({"vid": 1, "pid": 1, "reply_delay_ms": -5})", "\"reply_delay_ms\""},
        {R"({"vid": 1, "pid": 1, "serial": "A#B"})", "\"serial\""},
        {R"({"vid": 1, "pid": 1, "path": ""})", "\"path\""},
        {"\"\xff\"", "not JSON"}, // not UTF-8
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ostrel_sim_plug(c.json), -1) << c.json;
        EXPECT_NE(std::string(ostrel_sim_last_error()).find(c.reason), std::string::npos)
            << c.json << " gave: " << ostrel_sim_last_error();
    }
    EXPECT_EQ(ostrel_sim_plug(nullptr), -1);
    // Deep nesting must not exhaust the stack.
    EXPECT_EQ(ostrel_sim_plug((std::string(100000, '[') + std::string(100000, ']')).c_str()), -1);
    EXPECT_TRUE(PresentPaths().empty());

    // The reason belongs to the thread whose call failed.
    std::thread other([] { EXPECT_EQ(ostrel_sim_unplug(12345), -1); });
    other.join();
    EXPECT_NE(std::string(ostrel_sim_last_error()).find("must be a JSON object"), std::string::npos);
}

TEST_F(SimJsonTest, PathsAreUniqueAndSlotsNeverReused)
{
    int first = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    EXPECT_EQ(ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "serial": "A"})"), -1);
    EXPECT_NE(std::string(ostrel_sim_last_error()).find("path already plugged"), std::string::npos);
    EXPECT_EQ(ostrel_sim_plug(R"({"vid": 1, "pid": 1,
        "path": "\\\\?\\usb#vid_1a2b&pid_0001#a#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}"})"),
              -1);
    ASSERT_EQ(ostrel_sim_unplug(first), 0);
    int second = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    EXPECT_GT(second, first);
    EXPECT_EQ(ostrel_sim_unplug(first), -1);
    char buffer[4];
    EXPECT_EQ(ostrel_sim_received(first, buffer, sizeof buffer), -1);
    EXPECT_EQ(ostrel_sim_received(second, buffer, sizeof buffer), 0);
    EXPECT_EQ(ostrel_sim_received(second, nullptr, 4), -1);
}

TEST_F(SimJsonTest, LoadBenchPlugsAllOrNothing)
{
    const std::string good = R"({"vid": 6699, "pid": 1, "serial": "G1"})";
    const std::string bad[] = {
        "{\"instruments\": [" + good + R"(, {"vid": 6699, "pid": 2, "serial": "G2", "echo": 1}]})",
        "{\"instruments\": [" + good + ", " + good + "]}", // the same path twice
        R"({"instrument": []})",
        "[" + good + "]",
        "not json",
    };
    for (const std::string &text : bad) {
        std::string path = WriteTempFile(text);
        EXPECT_EQ(ostrel_sim_load_bench(path.c_str()), -1) << text;
        EXPECT_STRNE(ostrel_sim_last_error(), "") << text;
        std::remove(path.c_str());
    }
    EXPECT_TRUE(PresentPaths().empty());
    EXPECT_EQ(ostrel_sim_load_bench("/nonexistent/bench.json"), -1);
    EXPECT_EQ(ostrel_sim_load_bench(nullptr), -1);

    // A bench clashing with an instrument already plugged is refused whole.
    int slot = Plug(R"({"vid": 6699, "pid": 2, "serial": "G2"})");
    std::string path = WriteTempFile("{\"instruments\": [" + good + R"(, {"vid": 6699, "pid": 2, "serial": "G2"}]})");
    EXPECT_EQ(ostrel_sim_load_bench(path.c_str()), -1);
    EXPECT_EQ(PresentPaths().size(), 1u);
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    EXPECT_EQ(ostrel_sim_load_bench(path.c_str()), 2);
    EXPECT_EQ(PresentPaths().size(), 2u);
    std::remove(path.c_str());
}

} // namespace
} // namespace ostrel::test
