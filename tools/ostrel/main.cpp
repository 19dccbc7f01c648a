// ostrel: list, query and watch USB instruments from the command line.
#include "Bench.h"
#include "Cli.h"

#include "ostrel.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>

namespace ostrel::tool {

namespace {

const char usage[] = R"(usage: ostrel [options] <command> [arguments]

commands:
  list                          discover the instruments and print a table
  query <key-or-id> <cmd>...    send each command and print each reply
  send <key-or-id> <cmd>        send one command, read nothing
  read <key-or-id>              read one reply
  watch                         print each arrival and removal until Ctrl-C
  shell <key-or-id>             send each line typed, print the replies
  demo                          a tour of the library on the simulated bench

options:
  --pid HEX           only instruments of this USB product ID
  --sequential-ids    number the instruments 0, 1, 2... instead of asking ADDR?
  --binary            query/send/read bytes written as hex (0A FF 00)
  --seconds N         watch: stop after N seconds
  --bench FILE        plug the instruments of this bench file first
  --log, --trace      switch the library's log lines on
  --help, --version
An instrument is named by its key ("2936-R SN12345") or its device ID.
)";

std::mutex outputMutex;

bool ParseOptions(int argc, char **argv, Options &options, std::string &error)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (optionsEnded || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (options.command.empty())
                options.command = word;
            else
                options.arguments.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--bench") {
            const char *file = value("--bench");
            if (file == nullptr)
                return false;
            options.benchFile = file;
        } else if (word == "--pid") {
            const char *text = value("--pid");
            if (text == nullptr)
                return false;
            char *end = nullptr;
            unsigned long pid = std::strtoul(text, &end, 16);
            if (*text == '\0' || *end != '\0' || pid > 0xFFFF) {
                error = std::string("--pid takes a hexadecimal product ID, not '") + text + "'";
                return false;
            }
            options.productID = static_cast<unsigned>(pid);
        } else if (word == "--seconds") {
            const char *text = value("--seconds");
            if (text == nullptr)
                return false;
            char *end = nullptr;
            options.seconds = std::strtod(text, &end);
            if (*end != '\0' || options.seconds < 0) {
                error = std::string("--seconds takes a number, not '") + text + "'";
                return false;
            }
        } else if (word == "--sequential-ids") {
            options.sequentialIDs = true;
        } else if (word == "--binary") {
            options.binary = true;
        } else if (word == "--log") {
            options.log = true;
        } else if (word == "--trace") {
            options.trace = true;
        } else if (word == "--help" || word == "--version") {
            options.command = word;
        } else {
            error = "unknown option " + word;
            return false;
        }
    }
    return true;
}

} // namespace

int Fail(int status, const std::string &message)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fflush(stdout);
    std::fprintf(stderr, "ostrel: %s\n", message.c_str());
    return status;
}

void Say(const std::string &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace ostrel::tool

int main(int argc, char **argv)
{
    using namespace ostrel::tool;
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error))
        return Fail(kUsage, error + " (see ostrel --help)");
    if (options.command.empty() || options.command == "--help") {
        std::fputs(usage, options.command.empty() ? stderr : stdout);
        return options.command.empty() ? kUsage : kOk;
    }
    if (options.command == "--version") {
        std::puts("ostrel " OSTREL_VERSION);
        return kOk;
    }

    static const std::map<std::string, int (*)(const Options &)> commands = {
        {"list", List}, {"query", Query}, {"send", Send}, {"read", Read},
        {"watch", Watch}, {"shell", Shell}, {"demo", Demo},
    };
    auto command = commands.find(options.command);
    if (command == commands.end())
        return Fail(kUsage, "unknown command '" + options.command + "' (see ostrel --help)");

    if (options.log)
        vorn_usb_SetLogging(true);
    if (options.trace)
        vorn_usb_SetTraceLog(true);
    if (!options.benchFile.empty()) {
        if (!LoadBench(options.benchFile, error))
            return Fail(kUsage, "bench file '" + options.benchFile + "': " + error);
    } else if (HaveBench() && options.command != "demo" && !LoadDefaultBench(error)) {
        return Fail(kFailed, "the built-in bench: " + error);
    }
    int status = command->second(options);
    vorn_usb_uninit_system();
    return status;
}
