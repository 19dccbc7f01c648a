// Helpers for the suites that see the library as a user does: the exports of
// ostrel.h on libostrel-sim.so, instruments plugged on the bench, the log file.
#pragma once

#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::test {

// One bench instrument. Replies are bytes exactly as the instrument sends
// them; an empty idn or address leaves that query unanswered.
struct BenchInstrument {
    unsigned pid = 0x2936;
    std::string serial{}; // unique per instrument: it makes the device path
    std::string idn{};
    std::string address{};
    std::vector<std::pair<std::string, std::string>> replies{};
    std::string fields{}; // more members of the instrument's JSON object
};

// An identity reply whose key is "<model> <serial>".
inline std::string Idn(const std::string &model, const std::string &serial)
{
    return "VORN " + model + " 1.0.3 01/02/24 " + serial + "\r\n";
}

// A JSON string whose code points U+0000..U+00FF are the bytes of `bytes`.
inline std::string JsonBytes(const std::string &bytes)
{
    std::string json = "\"";
    for (unsigned char c : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c < 0x20 || c >= 0x7F || c == '"' || c == '\\' ? "\\u%04X" : "%c", c);
        json += escaped;
    }
    return json + "\"";
}

// Plugs the instrument; returns its bench slot.
inline int Plug(BenchInstrument in)
{
    in.replies.insert(in.replies.end(), {{"*IDN?", in.idn}, {"ADDR?", in.address}});
    std::string json = "{\"vid\": 6699, \"pid\": " + std::to_string(in.pid) + ", \"serial\": " + JsonBytes(in.serial) +
                       (in.fields.empty() ? "" : ", " + in.fields) + ", \"replies\": {\"\": \"\"";
    for (const auto &[command, reply] : in.replies)
        json += reply.empty() ? "" : ", " + JsonBytes(command) + ": " + JsonBytes(reply);
    const int slot = ostrel_sim_plug((json + "}}").c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

// Everything the instrument in `slot` has received on its OUT pipe.
inline std::string Received(int slot)
{
    std::string bytes(4096, '\0');
    const int count = ostrel_sim_received(slot, bytes.data(), static_cast<unsigned>(bytes.size()));
    EXPECT_GE(count, 0) << ostrel_sim_last_error();
    return bytes.substr(0, count > 0 ? static_cast<size_t>(count) : 0);
}

// One ASCII query by device ID: the reply text, or "<failed>".
inline std::string Ask(int deviceID, std::string command)
{
    char reply[64];
    unsigned length = 0;
    if (vorn_usb_send_ascii(deviceID, command.data(), 0) != 0 ||
        vorn_usb_get_ascii_by_DeviceID(deviceID, reply, sizeof reply, &length) != 0)
        return "<failed>";
    return std::string(reply, length);
}

// `count` key buffers of 64 chars, pre-filled with '#' so that an untouched one shows.
struct KeyBuffers {
    explicit KeyBuffers(size_t count) : storage(count, std::string(64, '#'))
    {
        for (std::string &buffer : storage)
            pointers.push_back(buffer.data());
    }
    char **data() { return pointers.data(); }
    std::string operator[](size_t i) const { return storage[i] == std::string(64, '#') ? "<untouched>" : storage[i].c_str(); }
    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

// The device table's keys, or with `registered` the key registry's (with the
// IDs), as the library lists them; checked that nothing is written past them.
inline std::vector<std::pair<std::string, int>> Listed(int registered = -1)
{
    const size_t count = static_cast<size_t>(registered < 0 ? vorn_usb_GetDeviceCount() : registered);
    KeyBuffers keys(count + 1);
    std::vector<int> ids(count + 1, -7);
    EXPECT_EQ(registered < 0 ? vorn_usb_GetDeviceKeys(keys.data()) - static_cast<int>(count)
                             : vorn_usb_event_get_attached_devices(keys.data(), ids.data()), 0);
    EXPECT_EQ(std::make_pair(keys[count], ids[count]), std::make_pair(std::string("<untouched>"), -7));
    std::vector<std::pair<std::string, int>> listed;
    for (size_t i = 0; i < count; ++i)
        listed.emplace_back(keys[i], ids[i]);
    return listed;
}

// Every test starts with an empty bench and an idle library (empty registry,
// logging off) and ends with no handle open and no exception logged. Each
// test process keeps its log in a private documents folder.
class ApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const std::string folder = UseTempDocuments();
        documents = folder;
        ostrel_sim_reset();
        vorn_usb_uninit_system();
        vorn_usb_SetLogging(false);
        vorn_usb_SetTraceLog(false);
        MarkLog();
    }
    void TearDown() override
    {
        vorn_usb_uninit_system();
        ostrel_sim_reset();
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
        for (const std::string &text : LogTexts(documents))
            EXPECT_EQ(text.find("Exception"), std::string::npos) << text;
    }
    // From here on, NewLog() holds only the lines logged after this call.
    void MarkLog() { logMark = LogTexts(documents).size(); }
    std::vector<std::string> NewLog() const
    {
        const std::vector<std::string> texts = LogTexts(documents);
        return std::vector<std::string>(texts.begin() + static_cast<std::ptrdiff_t>(logMark), texts.end());
    }
    // How many lines logged since MarkLog() start with `prefix`.
    int NewLogCount(const std::string &prefix) const
    {
        int count = 0;
        for (const std::string &text : NewLog())
            count += text.compare(0, prefix.size(), prefix) == 0;
        return count;
    }

    std::string documents;
    size_t logMark = 0;
};

} // namespace ostrel::test
