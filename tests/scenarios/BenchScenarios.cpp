// The bench behaving like an instrument through the public API: settings
// changed and read back, the error queue, and a bounded record of what it got.
#include "Scenario.h"

#include <algorithm>

namespace {

using namespace ostrel::scenario;

const char kThermometer[] = R"({"vid": "0x1a2b", "pid": "0x2940", "serial": "ST1", "replies": {
    "*IDN?": "VORN 2940-T 2.1.0 11/09/23 ST1\r\n", "CONF:UNIT?": "fixed\r\n"},
    "properties": {"unit": {"default": "CEL", "set": "CONF:UNIT {}", "get": "CONF:UNIT:NOW?",
                            "values": ["CEL", "FAR"]},
                   "label": {"default": "", "set": "LABEL {} END", "get": "LABEL?"}}})";
const char kKey[] = "2940-T ST1";

// The reply to a query, or "(none)" when the read fails.
std::string Ask(const std::string &query)
{
    std::string command = query;
    char reply[128];
    unsigned bytesRead = 0;
    if (vorn_usb_write_by_key(kKey, &command[0], 0) != 0 ||
        vorn_usb_read_ascii_by_key(kKey, reply, sizeof reply, &bytesRead) != 0)
        return "(none)";
    return reply;
}

bool Tell(const std::string &setting)
{
    std::string command = setting;
    return vorn_usb_write_by_key(kKey, &command[0], 0) == 0;
}

SCENARIO("bench-settings-and-error-queue", SettingsAndErrorQueue)
{
    const int slot = ostrel_sim_plug(kThermometer);
    int count = 0;
    REQUIRE(CHECK(slot >= 0 && vorn_usb_open_devices(0, false, &count) == 0 && count == 1,
                  "an instrument with settings is plugged and discovered"));
    CHECK_EQ(Ask("CONF:UNIT:NOW?"), std::string("CEL"), "a setting starts at its default");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("0,\"No error\""), "the error queue starts empty");
    CHECK(Tell("CONF:UNIT FAR") && Tell("LABEL bench 7 END"), "the setters are written");
    CHECK_EQ(Ask("CONF:UNIT:NOW?"), std::string("FAR"), "the setter changed the value");
    CHECK_EQ(Ask("LABEL?"), std::string("bench 7"), "a value is what stands between the setter's two parts");
    CHECK_EQ(Ask("CONF:UNIT?"), std::string("fixed"), "a fixed reply wins over the settings");

    CHECK(Tell("CONF:UNIT KELVIN") && Tell("NO:SUCH:COMMAND") && Tell("CONF:UNIT "), "refused commands are written");
    CHECK_EQ(Ask("CONF:UNIT:NOW?"), std::string("FAR"), "a value not listed leaves the setting alone");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("-222,\"Data out of range\""), "it queued 'out of range' first");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("-113,\"Undefined header\""), "then 'undefined header'");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("-109,\"Missing parameter\""), "then 'missing parameter'");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("0,\"No error\""), "and then none is left");
    for (int i = 0; i < 20; ++i)
        Tell("NO:SUCH:COMMAND");
    std::string last;
    for (int i = 0; i < 16; ++i)
        last = Ask("SYST:ERR?");
    CHECK_EQ(last, std::string("-350,\"Queue overflow\""), "a full queue ends in 'queue overflow'");
    CHECK_EQ(Ask("SYST:ERR?"), std::string("0,\"No error\""), "and holds no more than that");

    // Far more than is kept: the bench keeps the most recent 64 KiB.
    std::string block(100000, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i % 251);
    CHECK_EQ(vorn_usb_write_binary_by_key(kKey, &block[0], static_cast<unsigned>(block.size())), 0,
             "a 100 KB block is written");
    std::string kept(200000, '\0');
    kept.resize(static_cast<size_t>(std::max(0, ostrel_sim_received(slot, &kept[0], 200000))));
    CHECK(kept == block.substr(block.size() - 65536), "ostrel_sim_received gives the last 65536 bytes written");
    UninitLeavesNothingOpen();
}

} // namespace
