// A recording as a bench file: its JSON text, and the file written whole.
#include "recording/RecordingFile.h"

#include "diagnostics/LogLines.h"
#include "diagnostics/Logger.h"
#include "platform/winapi.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace ostrel::recording {
namespace {

using Json = nlohmann::ordered_json;

// Bench files hold bytes as the code points U+0000..U+00FF.
Json Bytes(const std::string &bytes)
{
    std::string utf8;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

Json Reply(const std::string &bytes, uint32_t delayMs)
{
    if (delayMs == 0)
        return Bytes(bytes);
    return Json{{"reply", Bytes(bytes)}, {"delay_ms", delayMs}};
}

// One reply when every turn had the same bytes (at the turns' middle delay),
// else the list of turns.
Json Turns(const std::vector<Turn> &turns)
{
    const bool same = std::all_of(turns.begin(), turns.end(),
                                  [&](const Turn &turn) { return turn.bytes == turns.front().bytes; });
    if (same) {
        std::vector<uint32_t> delays;
        for (const Turn &turn : turns)
            delays.push_back(turn.delayMs);
        std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
        return Reply(turns.front().bytes, delays[delays.size() / 2]);
    }
    Json list = Json::array();
    for (const Turn &turn : turns)
        list.push_back(Reply(turn.bytes, turn.delayMs));
    return list;
}

std::string Hex(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

// The serial number field of an interface path (\\?\USB#VID_x&PID_y#<serial>#{class}),
// when there is one the bench takes.
std::string SerialOf(const std::string &path)
{
    const size_t last = path.rfind('#');
    const size_t before = last == std::string::npos || last == 0 ? std::string::npos : path.rfind('#', last - 1);
    if (before == std::string::npos || last - before - 1 > 64 || last - before == 1)
        return "";
    const std::string serial = path.substr(before + 1, last - before - 1);
    return std::all_of(serial.begin(), serial.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F; })
               ? serial
               : "";
}

Json InstrumentJson(const Instrument &instrument)
{
    Json replies = Json::object();
    // Identification's own questions first; the program's own "*IDN?" and
    // "ADDR?" get the same answers on the bench.
    replies["*IDN?"] = Bytes(instrument.identity);
    if (instrument.askedAddress)
        replies["ADDR?"] = Bytes(instrument.address);
    for (const auto &[command, turns] : instrument.commands)
        if (!replies.contains(Bytes(command).get<std::string>()))
            replies[Bytes(command).get<std::string>()] = Turns(turns);
    Json object = {{"vid", Hex(instrument.vendorID)}, {"pid", Hex(instrument.productID)}};
    const std::string serial = SerialOf(instrument.path);
    if (!serial.empty())
        object["serial"] = serial;
    object["path"] = instrument.path;
    object["replies"] = std::move(replies);
    return object;
}

} // namespace

std::string BenchFileText(const std::map<std::string, Instrument> &instruments)
{
    Json list = Json::array();
    for (const auto &[path, instrument] : instruments)
        list.push_back(InstrumentJson(instrument));
    // Escaped ASCII, so that binary replies survive any editor.
    return Json{{"instruments", std::move(list)}}.dump(2, ' ', true) + "\n";
}

bool WriteWhole(const std::string &file, const std::string &text)
{
    const std::string temporary = file + ".tmp";
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        written = out && out.write(text.data(), static_cast<std::streamsize>(text.size())) && out.flush();
    }
    if (written && MoveFileExA(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    std::remove(temporary.c_str());
    LogLines(Logger::GetInstance()).ErrorFormat("Recording: The recording cannot be written to '%s'.", file.c_str());
    return false;
}

} // namespace ostrel::recording
