// OSTREL_RECORD while a program talks to two instruments from two threads at once.
#include "api/api_session.h"

#include "ostrel.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace ostrel::test {
namespace {

// Each instrument's turns are told apart by the thread that asks it, so a
// recording that mixed up the instruments, or a turn's order, would show.
TEST(RecordingTest, ParallelTransfersToTwoInstrumentsAreRecordedEachInItsOwnOrder)
{
    const std::string file = "/tmp/ostrel-recording-" + std::to_string(getpid()) + ".json";
    ASSERT_EQ(setenv("OSTREL_RECORD", file.c_str(), 1), 0); // before the library's first look
    constexpr int kTurns = 40;
    std::string turns[2];
    for (int i = 0; i < kTurns; ++i)
        for (int which : {0, 1})
            turns[which] += std::string(i == 0 ? "" : ", ") + "\"" + std::to_string(which * 1000 + i) + "\\n\"";
    for (int which : {0, 1})
        ASSERT_GE(ostrel_sim_plug(("{\"vid\": 6699, \"pid\": " + std::to_string(0x2936 + which) + ", \"serial\": \"S" +
                                   std::to_string(which) + "\", \"replies\": {\"*IDN?\": \"" + "VORN 2936-R 1 2 S" +
                                   std::to_string(which) + "\\r\\n\", \"M?\": [" + turns[which] + "]}}")
                                      .c_str()),
                  0)
            << ostrel_sim_last_error();
    int count = 0;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    ASSERT_EQ(count, 2);
    std::string heard[2];
    std::vector<std::thread> threads;
    for (int which : {0, 1})
        threads.emplace_back([&, which] {
            std::string key = "2936-R S" + std::to_string(which);
            for (int i = 0; i < kTurns; ++i) {
                char command[] = "M?", reply[64];
                unsigned got = 0;
                if (vorn_usb_write_by_key(key.c_str(), command, 2) == 0 &&
                    vorn_usb_read_by_key(key.c_str(), reply, sizeof reply, &got) == 0)
                    heard[which].append(reply, got);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    vorn_usb_uninit_system();

    std::ifstream in(file);
    const nlohmann::json recording = nlohmann::json::parse(in, nullptr, false);
    std::remove(file.c_str());
    ASSERT_TRUE(recording.contains("instruments")) << recording;
    ASSERT_EQ(recording["instruments"].size(), 2u);
    for (const auto &instrument : recording["instruments"]) {
        const int which = instrument["serial"] == "s1" ? 1 : 0;
        std::string recorded;
        for (const auto &turn : instrument["replies"]["M?"])
            recorded += turn.is_string() ? turn.get<std::string>() : turn["reply"].get<std::string>();
        EXPECT_EQ(recorded, heard[which]) << which;
        EXPECT_EQ(instrument["replies"]["M?"].size(), static_cast<size_t>(kTurns));
    }
}

} // namespace
} // namespace ostrel::test
