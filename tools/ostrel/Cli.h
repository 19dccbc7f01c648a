// The command line of the ostrel tool: options, commands and their results.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool {

struct Options {
    std::string command;
    std::vector<std::string> arguments;
    std::string benchFile;
    unsigned productID = 0;
    bool sequentialIDs = false;
    bool binary = false;
    bool log = false;
    bool trace = false;
    double seconds = 0; // watch: stop after this long (0: at Ctrl-C)
};

// Exit statuses.
enum Status { kOk = 0, kFailed = 1, kUsage = 2 };

// Prints "ostrel: <message>" on stderr; returns `status`.
int Fail(int status, const std::string &message);

// Writes a line to stdout whole, also from the library's watcher thread.
void Say(const std::string &line);

int List(const Options &options);
int Query(const Options &options);
int Send(const Options &options);
int Read(const Options &options);
int Watch(const Options &options);
int Shell(const Options &options);
int Demo(const Options &options);

} // namespace ostrel::tool
