// The tool's commands over the public API.
#include "Cli.h"
#include "Instruments.h"

#include "ostrel.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

namespace ostrel::tool {

namespace {

std::vector<Row> Found(const Options &options)
{
    return Discover(options.productID, options.sequentialIDs);
}

int NoInstruments(const Options &options)
{
    std::string message = "no instruments found";
    if (options.productID != 0) {
        char pid[16];
        std::snprintf(pid, sizeof pid, "%04X", options.productID);
        message += std::string(" with product ID ") + pid;
    }
    if (!options.sequentialIDs)
        message += " (an instrument that does not answer ADDR? shows only with --sequential-ids)";
    return Fail(kFailed, message);
}

// Discovers and names the instrument of the first argument.
int FindTarget(const Options &options, size_t minimumArguments, Target &target)
{
    if (options.arguments.size() < minimumArguments)
        return Fail(kUsage, options.command + " needs an instrument" +
                                (minimumArguments > 1 ? " and a command" : "") + " (see ostrel --help)");
    std::vector<Row> rows = Found(options);
    if (rows.empty())
        return NoInstruments(options);
    if (Resolve(options.arguments[0], rows, target))
        return kOk;
    std::string known;
    for (const Row &row : rows)
        known += (known.empty() ? "" : ", ") + std::to_string(row.id) + " \"" + row.key + "\"";
    return Fail(kFailed, "no instrument '" + options.arguments[0] + "' (found: " + known + ")");
}

int Transfer(const Options &options, const Target &target, const std::vector<std::string> &commands, bool send,
             bool read)
{
    if (options.binary) {
        std::vector<unsigned char> bytes;
        if (send && !ParseHex(commands, bytes))
            return Fail(kUsage, "--binary takes hexadecimal bytes such as 0A FF 00");
        if (send && !SendBinary(target, bytes))
            return Fail(kFailed, "could not send to " + target.name);
        if (!read)
            return kOk;
        std::vector<unsigned char> reply;
        if (!ReadBinary(target, reply))
            return Fail(kFailed, "no reply from " + target.name + " within its time-out");
        Say(FormatHex(reply));
        return kOk;
    }
    for (const std::string &command : commands) {
        if (send && !SendAscii(target, command))
            return Fail(kFailed, "could not send '" + command + "' to " + target.name);
        if (!read)
            continue;
        std::string reply;
        if (!ReadAscii(target, reply))
            return Fail(kFailed, "no reply from " + target.name + " to '" + command + "' within its time-out");
        Say(reply);
    }
    if (commands.empty() && read) {
        std::string reply;
        if (!ReadAscii(target, reply))
            return Fail(kFailed, "no reply from " + target.name + " within its time-out");
        Say(reply);
    }
    return kOk;
}

std::string Timestamp()
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
    char withMillis[40];
    std::snprintf(withMillis, sizeof withMillis, "%s.%03ld", text, millis);
    return withMillis;
}

std::atomic<bool> interrupted{false};

void OnInterrupt(int)
{
    interrupted = true;
}

void OSTREL_CALL PrintChange(int deviceID, int attached)
{
    // The instrument is still in the table during its removal call.
    char key[64] = "";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    Say(Timestamp() + (attached ? "  arrived  " : "  removed  ") + "ID " + std::to_string(deviceID) + "  " + key);
}

} // namespace

int List(const Options &options)
{
    std::vector<Row> rows = Found(options);
    if (rows.empty())
        return NoInstruments(options);
    ShowTable(rows, "");
    return kOk;
}

void ShowTable(const std::vector<Row> &rows, const std::string &indent)
{
    char line[256];
    std::snprintf(line, sizeof line, "%s%4s  %-24s %7s %9s  %s", indent.c_str(), "ID", "KEY", "MODEL", "SERIAL",
                  "IDENTITY");
    Say(line);
    for (const Row &row : rows) {
        std::snprintf(line, sizeof line, "%s%4d  %-24s %7d %9d  %s", indent.c_str(), row.id, row.key.c_str(),
                      row.model, row.serial, row.identity.c_str());
        Say(line);
    }
}

int Query(const Options &options)
{
    Target target;
    if (int status = FindTarget(options, 2, target))
        return status;
    return Transfer(options, target, {options.arguments.begin() + 1, options.arguments.end()}, true, true);
}

int Send(const Options &options)
{
    Target target;
    if (int status = FindTarget(options, 2, target))
        return status;
    return Transfer(options, target, {options.arguments.begin() + 1, options.arguments.end()}, true, false);
}

int Read(const Options &options)
{
    Target target;
    if (int status = FindTarget(options, 1, target))
        return status;
    return Transfer(options, target, {}, false, true);
}

int Watch(const Options &options)
{
    std::signal(SIGINT, OnInterrupt);
    if (vorn_usb_event_init(options.productID, PrintChange) != 0)
        return Fail(kFailed, "could not start watching");
    Say(Timestamp() + "  watching; Ctrl-C stops");
    const auto start = std::chrono::steady_clock::now();
    while (!interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (options.seconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.seconds))
            break;
    }
    vorn_usb_uninit_system();
    Say(Timestamp() + "  stopped");
    return kOk;
}

int Shell(const Options &options)
{
    Target target;
    if (int status = FindTarget(options, 1, target))
        return status;
    std::fprintf(stderr, "talking to %s; a command with '?' prints its reply; quit ends\n", target.name.c_str());
    std::string line;
    while (std::fputs("> ", stderr), std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.empty())
            continue;
        if (line == "quit" || line == "exit")
            break;
        if (!SendAscii(target, line)) {
            Fail(kFailed, "could not send '" + line + "'");
            continue;
        }
        if (line.find('?') == std::string::npos)
            continue;
        std::string reply;
        if (ReadAscii(target, reply))
            Say(reply);
        else
            Fail(kFailed, "no reply to '" + line + "' within its time-out");
    }
    return kOk;
}

} // namespace ostrel::tool
