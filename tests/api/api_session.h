// Helpers for the suites that use the library as a program does: bench instruments, listings, the log.
#pragma once

#include "ostrel_sim.h"
#include "support/HotplugSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace ostrel::test {

// One bench instrument: replies are the bytes it sends; an empty idn or address leaves that query unanswered.
struct BenchInstrument {
    unsigned pid = 0x2936;
    std::string serial{}, idn{}, address{}; // the serial makes the device path: unique per instrument
    std::vector<std::pair<std::string, std::string>> replies{};
    std::string fields{}; // more members of the instrument's JSON object
};

// An identity reply whose key is "<model> <serial>".
inline std::string Idn(const std::string &model, const std::string &serial)
{
    return "VORN " + model + " 1.0.3 01/02/24 " + serial + "\r\n";
}

inline int Plug(BenchInstrument in)
{
    auto quoted = [](const std::string &bytes) { // code points U+0000..U+00FF stand for the bytes
        static const char hex[] = "0123456789ABCDEF";
        std::string text = "\"";
        for (unsigned char c : bytes)
            text += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? std::string(1, static_cast<char>(c))
                                                                   : std::string("\\u00") + hex[c >> 4] + hex[c & 15];
        return text + "\"";
    };
    in.replies.insert(in.replies.end(), {{"*IDN?", in.idn}, {"ADDR?", in.address}});
    std::string json = "{\"vid\": 6699, \"pid\": " + std::to_string(in.pid) + ", \"serial\": " + quoted(in.serial) +
                       (in.fields.empty() ? "" : ", " + in.fields) + ", \"replies\": {";
    for (const auto &[command, reply] : in.replies)
        if (!reply.empty())
            json += (json.back() == '{' ? "" : ", ") + quoted(command) + ": " + quoted(reply);
    const int slot = ostrel_sim_plug((json + "}}").c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

inline std::string Received(int slot)
{
    char bytes[4096];
    const int count = ostrel_sim_received(slot, bytes, sizeof bytes);
    return std::string(bytes, count > 0 ? static_cast<size_t>(count) : 0);
}

// Key buffers of 64 chars; each reads "#" until the library writes it.
struct KeyBuffers {
    explicit KeyBuffers(size_t count) : texts(count, std::string(64, '#')), pointers(count)
    {
        for (size_t i = 0; i < count; ++i)
            pointers[i] = texts[i].data();
    }
    std::string operator[](size_t i) const { return texts[i] == std::string(64, '#') ? "#" : texts[i].c_str(); }
    std::vector<std::string> texts;
    std::vector<char *> pointers;
};

inline std::vector<std::string> DeviceKeys()
{
    KeyBuffers keys(static_cast<size_t>(vorn_usb_GetDeviceCount()) + 1);
    std::vector<std::string> listed(static_cast<size_t>(vorn_usb_GetDeviceKeys(keys.pointers.data())));
    for (size_t i = 0; i < listed.size(); ++i)
        listed[i] = keys[i];
    return listed;
}

// The key registry as listed, (key, device ID) each; nothing may be written past them.
inline std::vector<std::pair<std::string, int>> Registry(size_t registered)
{
    KeyBuffers keys(registered + 1);
    std::vector<int> ids(registered + 1, -1);
    EXPECT_EQ(vorn_usb_event_get_attached_devices(keys.pointers.data(), ids.data()), 0);
    EXPECT_EQ(std::make_pair(keys[registered], ids[registered]), std::make_pair(std::string("#"), -1));
    std::vector<std::pair<std::string, int>> listed;
    for (size_t i = 0; i < registered; ++i)
        listed.emplace_back(keys[i], ids[i]);
    return listed;
}

// Each test runs in its own process: a fresh library, an empty bench; it must leave no handle open, no exception logged.
class ApiTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        vorn_usb_uninit_system();
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
        for (const std::string &text : LogTexts(documents))
            EXPECT_EQ(text.find("Exception"), std::string::npos) << text;
    }
    const std::string documents = UseTempDocuments();
};

} // namespace ostrel::test
