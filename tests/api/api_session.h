// Helpers for the suites that see the library as a user does: the exports of
// ostrel.h on libostrel-sim.so, instruments plugged on the bench, the log file.
#pragma once

#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::test {

// One bench instrument. Replies are bytes exactly as the instrument sends them.
struct BenchInstrument {
    unsigned pid = 0x2936;
    std::string serial{};  // unique per instrument: it makes the device path
    std::string idn{};     // reply to *IDN?; empty: the instrument does not answer it
    std::string address{}; // reply to ADDR?; empty: the instrument does not answer it
    std::vector<std::pair<std::string, std::string>> replies{};
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
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
    }
    return json + "\"";
}

// Plugs the instrument; returns its bench slot.
inline int Plug(const BenchInstrument &instrument)
{
    std::vector<std::pair<std::string, std::string>> replies = instrument.replies;
    if (!instrument.idn.empty())
        replies.emplace_back("*IDN?", instrument.idn);
    if (!instrument.address.empty())
        replies.emplace_back("ADDR?", instrument.address);
    std::string json = "{\"vid\": 6699, \"pid\": " + std::to_string(instrument.pid) + ", \"serial\": " +
                       JsonBytes(instrument.serial) + ", \"replies\": {";
    for (size_t i = 0; i < replies.size(); ++i)
        json += (i != 0 ? ", " : "") + JsonBytes(replies[i].first) + ": " + JsonBytes(replies[i].second);
    json += "}}";
    int slot = ostrel_sim_plug(json.c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

// Everything the instrument in `slot` has received on its OUT pipe.
inline std::string Received(int slot)
{
    std::string bytes(4096, '\0');
    int count = ostrel_sim_received(slot, bytes.data(), static_cast<unsigned>(bytes.size()));
    EXPECT_GE(count, 0) << ostrel_sim_last_error();
    bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return bytes;
}

// Key buffers as the header asks for them: 64 chars each, here pre-filled
// with '#' so that a buffer the library did not touch shows.
struct KeyBuffers {
    explicit KeyBuffers(size_t count) : storage(count, std::string(64, '#'))
    {
        for (std::string &buffer : storage)
            pointers.push_back(buffer.data());
    }
    char **data() { return pointers.data(); }
    // Buffer i as text, or "<untouched>" if the library wrote nothing there.
    std::string operator[](size_t i) const
    {
        return storage[i] == std::string(64, '#') ? "<untouched>" : std::string(storage[i].c_str());
    }

    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

// Every test starts with an empty bench and an idle library (no instruments,
// empty registry, logging off), and must end with no handle left open. The
// log goes to one private documents folder per test process.
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
    }

    // From here on, NewLog() shows only the lines written after this call.
    void MarkLog() { logMark = LogTexts(documents).size(); }

    // The log's texts since the last MarkLog(), without a trailing CR.
    std::vector<std::string> NewLog() const
    {
        std::vector<std::string> texts = LogTexts(documents);
        texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(std::min(logMark, texts.size())));
        for (std::string &text : texts)
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
        return texts;
    }

    // How many new lines start with `prefix`.
    int NewLogCount(const std::string &prefix) const
    {
        int count = 0;
        for (const std::string &text : NewLog())
            count += text.compare(0, prefix.size(), prefix) == 0;
        return count;
    }

    // The device table's keys, in the library's order.
    static std::vector<std::string> DeviceKeys()
    {
        int count = vorn_usb_GetDeviceCount();
        KeyBuffers buffers(static_cast<size_t>(count) + 1);
        int listed = vorn_usb_GetDeviceKeys(buffers.data());
        EXPECT_EQ(listed, count);
        EXPECT_EQ(buffers[static_cast<size_t>(count)], "<untouched>") << "written past the device count";
        std::vector<std::string> keys;
        for (int i = 0; i < listed; ++i)
            keys.push_back(buffers[static_cast<size_t>(i)]);
        return keys;
    }

    // The key registry, in the library's order: (key, device ID).
    static std::vector<std::pair<std::string, int>> Registry(size_t registered)
    {
        KeyBuffers buffers(registered + 1);
        std::vector<int> ids(registered + 1, -12345);
        EXPECT_EQ(vorn_usb_event_get_attached_devices(buffers.data(), ids.data()), 0);
        EXPECT_EQ(buffers[registered], "<untouched>") << "more keys registered than expected";
        EXPECT_EQ(ids[registered], -12345);
        std::vector<std::pair<std::string, int>> registry;
        for (size_t i = 0; i < registered; ++i)
            registry.emplace_back(buffers[i], ids[i]);
        return registry;
    }

    // One ASCII query by device ID: the reply text, or "<failed>".
    static std::string Ask(int deviceID, std::string command)
    {
        if (vorn_usb_send_ascii(deviceID, command.data(), static_cast<unsigned>(command.size())) != 0)
            return "<failed>";
        char reply[64];
        unsigned length = 0;
        if (vorn_usb_get_ascii_by_DeviceID(deviceID, reply, sizeof reply, &length) != 0)
            return "<failed>";
        return std::string(reply, length);
    }

    std::string documents;
    size_t logMark = 0;
};

} // namespace ostrel::test
