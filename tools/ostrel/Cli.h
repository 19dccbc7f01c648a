// The ostrel tool's commands, the options they take and the session they run in.
#pragma once

#include "Library.h"

#include <string>
#include <vector>

namespace ostrel::tool {

// serve: what it listens on, whom it lets in, and its bounds.
struct ServeOptions {
    std::string listen = "127.0.0.1";
    std::vector<std::string> allow; // CIDR blocks; none: every client that reaches the address
    unsigned port = 0;              // the core channel; 0: any free port (rpcbind tells clients)
    unsigned rawPort = 0;           // the first raw SCPI port (instN at rawPort + N); 0: none
    unsigned rawTimeoutMs = 10000;  // how long a raw query waits for its reply
    unsigned maxLinks = 256;        // links, and connections, in all
    unsigned clientLinks = 128;     // links, and connections, of one client address (64 clients, core and abort)
    unsigned idleSeconds = 600;     // a connection without a request for this long is closed
    unsigned httpPort = 80;         // the status page, identification and metrics; 0: none
    bool httpPortGiven = false;     // --http-port named: a port that cannot be bound is an error
    bool mdns = true;               // announce the instruments by mDNS/DNS-SD
};

// udev-rule: the instrument model, and whether to install its rule.
struct UdevRuleOptions {
    std::string model; // "VID:PID", hexadecimal, as lsusb writes it
    bool install = false;
};

// What the command line says; each command reads the options it declared.
struct Options {
    std::string command;
    std::string instrument;         // a key, or an ID from ADDR?
    std::vector<std::string> words; // commands to send; hex bytes with --binary
    std::string benchFile;          // --bench, else OSTREL_BENCH
    unsigned productID = 0;         // --pid; 0: any
    bool binary = false;
    unsigned bytes = 0;             // --bytes; 0: until the instrument stops sending
    unsigned timeoutMs = 1000;      // one read of the library
    bool json = false;
    bool log = false;
    bool trace = false;
    double seconds = 0;             // watch: stop after this long (0: at Ctrl-C)
    std::string file;                 // record: the recording; bench check: the bench file
    std::vector<std::string> program; // record: the program and its arguments
    ServeOptions serve;
    UdevRuleOptions udevRule;
};

struct Session {
    Options options;
    bool loaded = false;
    std::string loadError; // why no library could be loaded
    Library library;
    bool benchFromEnvironment = false;
    int benchInstruments = -1; // how many the bench file plugged; -1: no bench file
};

// Exit statuses.
enum Status { kOk = 0, kFailed = 1, kUsage = 2 };

int List(Session &session);
int Query(Session &session);
int Send(Session &session);
int Read(Session &session);
int Watch(Session &session);
int Shell(Session &session);
int Doctor(Session &session);
int Demo(Session &session);
// Run without a library of their own loaded first (Recording.cpp).
int Record(Session &session);
int BenchCheck(Session &session);
// Until SIGTERM or Ctrl-C: every instrument as a LAN instrument (VXI-11, raw SCPI sockets).
int Serve(Session &session);
// Needs no library: prints, or installs, the udev rule for one instrument model.
int UdevRule(Session &session);

// On stderr, for list and watch when they find nothing: what the doctor's
// checks and the log say is the likely cause.
void ExplainNothingFound(Session &session, const std::vector<std::string> &logTexts);

} // namespace ostrel::tool
