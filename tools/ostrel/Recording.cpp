// ostrel record and ostrel bench check: making a bench file from a program's
// session, and saying what a bench file holds.
#include "Cli.h"
#include "Output.h"
#include "Spawn.h"
#include "System.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

namespace ostrel::tool {
namespace {

using nlohmann::json;

// Bench files hold one byte per code point; a byte count counts code points.
size_t ByteCount(const std::string &utf8)
{
    size_t count = 0;
    for (unsigned char c : utf8)
        count += (c & 0xC0) != 0x80;
    return count;
}

// A reply's turns: each a string, or {"reply": ...}.
void CountTurns(const json &reply, size_t &turns, size_t &bytes)
{
    const json single = json::array({reply});
    for (const json &turn : reply.is_array() ? reply : single) {
        const json &text = turn.is_object() ? turn.at("reply") : turn;
        ++turns;
        bytes += ByteCount(text.get<std::string>());
    }
}

// A command as the summary names it: its text, or its bytes in hex when it is binary.
std::string CommandName(const std::string &utf8)
{
    std::string bytes;
    bool printable = true;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xC0 && i + 1 < utf8.size())
            c = static_cast<unsigned char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F));
        printable = printable && c >= 0x20 && c < 0x7F;
        bytes += static_cast<char>(c);
    }
    if (printable)
        return Shorten(bytes);
    return std::to_string(bytes.size()) + " bytes " + FormatHex(bytes.substr(0, 8)) + (bytes.size() > 8 ? " ..." : "");
}

// A USB ID as the file gives it (a number or "0x1a2b").
std::string Id(const json &id)
{
    return id.is_string() ? id.get<std::string>() : id.dump();
}

// "VORN 2936-R 1.0.3 01/02/24 SN12345" from the identity reply, without its line end.
std::string Identity(const json &replies)
{
    auto idn = replies.find("*IDN?");
    std::string text = idn != replies.end() && idn->is_string() ? idn->get<std::string>() : "(no *IDN? reply)";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// One line per instrument, then the totals. The file has passed the bench's own checks.
void Summarise(const json &bench, FILE *out)
{
    size_t commandsInAll = 0, turnsInAll = 0, bytesInAll = 0;
    const json &instruments = bench.at("instruments");
    for (const json &instrument : instruments) {
        const json replies = instrument.value("replies", json::object());
        size_t commands = 0, turns = 0, bytes = 0;
        std::string names;
        for (const auto &[command, reply] : replies.items()) {
            if (command == "*IDN?" || command == "ADDR?")
                continue;
            ++commands;
            CountTurns(reply, turns, bytes);
            names += (names.empty() ? ": " : ", ") + CommandName(command);
        }
        std::fprintf(out, "  %s (vid %s, pid %s%s): %zu commands, %zu replies, %zu bytes%s\n",
                     Identity(replies).c_str(), Id(instrument.at("vid")).c_str(), Id(instrument.at("pid")).c_str(), replies.contains("ADDR?") ? "" : ", no ADDR?", commands,
                     turns, bytes, names.c_str());
        commandsInAll += commands;
        turnsInAll += turns;
        bytesInAll += bytes;
    }
    std::fprintf(out, "%zu instruments, %zu commands, %zu replies, %zu bytes\n", instruments.size(), commandsInAll,
                 turnsInAll, bytesInAll);
}

bool ReadJson(const std::string &file, json &bench)
{
    std::ifstream in(file, std::ios::binary);
    bench = json::parse(in, nullptr, false);
    return in && !bench.is_discarded() && bench.contains("instruments");
}

} // namespace

int Record(Session &session)
{
    const Options &options = session.options;
    // What the summary reads must be this run's.
    std::remove(options.file.c_str());
    std::string error;
    const int status = os::RunWithVariable(options.program, "OSTREL_RECORD", options.file, error);
    if (status < 0)
        return Fail(kFailed, error);
    json recording;
    if (!ReadJson(options.file, recording)) {
        Fail(kFailed, "nothing recorded in " + options.file + ": the program did not use the Ostrel library, or "
                      "the library's log says why the recording was not written");
        return status != 0 ? status : kFailed;
    }
    std::fprintf(stderr, "ostrel: recorded in %s (the program's exit status %d):\n", options.file.c_str(), status);
    Summarise(recording, stderr);
    return status;
}

// The bench's own parser judges the file; what it accepts is then summarised.
int BenchCheck(Session &session)
{
    const std::string &file = session.options.file;
    os::Unset("OSTREL_BENCH");
    if (!LoadOstrel(true, session.library, session.loadError) || !session.library.hasBench)
        return Fail(kFailed, "cannot load the simulated bench's library: " + session.loadError);
    if (session.library.bench.ostrel_sim_load_bench(file.c_str()) < 0)
        return Fail(kUsage, session.library.bench.ostrel_sim_last_error());
    json bench;
    if (!ReadJson(file, bench))
        return Fail(kUsage, "cannot read " + file + " again");
    std::printf("%s: a bench file the bench accepts\n", file.c_str());
    Summarise(bench, stdout);
    return kOk;
}

} // namespace ostrel::tool
