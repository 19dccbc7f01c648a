// ostrel: list, query and watch USB instruments from the command line.
#include "Cli.h"
#include "Deadline.h"
#include "Instruments.h"
#include "Log.h"
#include "Output.h"
#include "System.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace ostrel::tool {
namespace {

const char kFooter[] = R"(An instrument is named by its key ("2936-R SN12345") or by its ID (its reply to ADDR?).
Environment: OSTREL_BENCH (a bench file: the simulated bench instead of real instruments),
OSTREL_LIBRARY (the library file to load), OSTREL_LOG_DIR (the folder of the library's log).)";

using Command = int (*)(Session &);

struct Parser {
    CLI::App app{"ostrel: list, query and watch USB instruments", "ostrel"};
    Options &options;
    bool version = false;
    std::map<CLI::App *, Command> commands;

    explicit Parser(Options &options);
    CLI::App *Add(const char *name, const char *about, Command command);
    void AddPid(CLI::App *command);
    void AddInstrument(CLI::App *command, bool withCommands);
    void AddRead(CLI::App *command);
    void AddJson(CLI::App *command);
    void AddServe();
    void AddRecording();
};

std::string ProductIdProblem(const std::string &text)
{
    char *end = nullptr;
    const unsigned long pid = std::strtoul(text.c_str(), &end, 16);
    if (!text.empty() && *end == '\0' && pid <= 0xFFFF)
        return "";
    return "a product ID is 1 to 4 hexadecimal digits, such as 2936";
}

Parser::Parser(Options &options) : options(options)
{
    app.footer(kFooter);
    app.fallthrough(); // the global options also after the command
    app.require_subcommand(0, 1); // a second command word is refused, not left unrun
    app.add_option("--bench", options.benchFile, "the simulated bench with this bench file's instruments")
        ->type_name("FILE");
    app.add_flag("--log", options.log, "data lines in the library's log");
    app.add_flag("--trace", options.trace, "trace lines in the library's log");
    app.add_flag("--version", version, "the tool's version and the library in use");
    // The service's options: serve's under [serve], the global ones at the top.
    app.set_config("--config", "", "read options from this file (name = value lines; [serve] for serve's)")
        ->type_name("FILE");

    CLI::App *list = Add("list", "discover the instruments and print a table", List);
    AddPid(list);
    AddJson(list);
    CLI::App *query = Add("query", "send each command, print the reply to each one with a '?'", Query);
    AddInstrument(query, true);
    AddRead(query);
    AddJson(query);
    CLI::App *send = Add("send", "send each command, read nothing", Send);
    AddInstrument(send, true);
    send->add_flag("--binary", options.binary, "send hexadecimal bytes (0A FF 00)");
    CLI::App *read = Add("read", "read one reply", Read);
    AddInstrument(read, false);
    AddRead(read);
    AddJson(read);
    CLI::App *watch = Add("watch", "print each arrival and removal until Ctrl-C", Watch);
    AddPid(watch);
    watch->add_option("--seconds", options.seconds, "stop after this long")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    AddJson(watch);
    CLI::App *shell = Add("shell", "talk to an instrument line by line", Shell);
    AddInstrument(shell, false);
    shell->add_option("--timeout", options.timeoutMs, "how long a read waits, in ms (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000));
    Add("doctor", "what stands between the instruments and the tool", Doctor);
    Add("demo", "a tour of the library on the simulated bench", Demo);
    AddServe();
    CLI::App *udevRule = Add("udev-rule", "the udev rule that makes an instrument model known to the library (Linux)",
                             UdevRule);
    udevRule->add_option("model", options.udevRule.model, "its USB vendor and product ID, as lsusb writes them")
        ->type_name("VID:PID")
        ->required();
    udevRule->add_flag("--install", options.udevRule.install,
                       "write it to /etc/udev/rules.d and have udev apply it (as root)");
    AddRecording();
}

void Parser::AddRecording()
{
    CLI::App *record = Add("record", "run a program with OSTREL_RECORD=FILE, then say what it recorded", Record);
    record->add_option("-o,--output", options.file, "the recording (a bench file)")->required()->type_name("FILE");
    record->add_option("program", options.program, "-- then the program and its arguments")->required();
    CLI::App *bench = Add("bench", "bench files: bench check FILE", BenchCheck);
    bench->require_subcommand(1);
    bench->add_subcommand("check", "check a bench file as the bench reads it, and summarise it")
        ->add_option("file", options.file, "the bench file")
        ->required();
}

void Parser::AddServe()
{
    ServeOptions &serve = options.serve;
    CLI::App *command = Add("serve", "every instrument as a LAN instrument (VXI-11 instN, raw SCPI sockets) until "
                                     "SIGTERM or Ctrl-C", Serve);
    command->footer("On the simulated bench, standard input takes bench commands: unplug N, plug N (N counts the "
                    "bench file's instruments from 0).");
    AddPid(command);
    command->add_option("--listen", serve.listen, "the address to listen on (default 127.0.0.1: this PC only)")
        ->type_name("ADDR");
    command->add_option("--allow", serve.allow, "let in only clients of these networks (repeatable), such as "
                                                "192.168.1.0/24")
        ->type_name("CIDR");
    command->add_option("--port", serve.port, "the VXI-11 core channel's port (default: any, told by rpcbind); "
                                              "the abort channel takes the next")
        ->type_name("N")
        ->check(CLI::Range(1, 65534));
    command->add_option("--raw-port", serve.rawPort, "raw SCPI sockets, instN on BASE + N (5025 if BASE is left out)")
        ->type_name("BASE")
        ->expected(0, 1)
        ->default_str("5025")
        ->check(CLI::Range(1, 65535));
    command->add_option("--raw-timeout", serve.rawTimeoutMs, "how long a raw socket's query waits for its reply, in "
                                                             "ms (default 10000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000));
    command->add_option("--max-links", serve.maxLinks, "links, and connections, in all (default 256)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    command->add_option("--client-links", serve.clientLinks, "links, and connections, of one client address "
                                                             "(default 128)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    command->add_option("--idle", serve.idleSeconds, "close a connection that sends no whole call for this long, in s "
                                                     "(default 600)")
        ->type_name("S")
        ->check(CLI::Range(1, 86400));
    command->add_option("--http-port", serve.httpPort, "the status page, identification and metrics (default 80 when "
                                                       "it can be bound; 0: none)")
        ->type_name("N")
        ->check(CLI::Range(0, 65535))
        ->each([&serve](const std::string &) { serve.httpPortGiven = true; });
    command->add_flag_callback("--no-mdns", [&serve] { serve.mdns = false; },
                      "do not announce the instruments by mDNS/DNS-SD");
}

CLI::App *Parser::Add(const char *name, const char *about, Command command)
{
    CLI::App *added = app.add_subcommand(name, about);
    commands[added] = command;
    return added;
}

void Parser::AddPid(CLI::App *command)
{
    command->add_option_function<std::string>(
        "--pid",
        [this](const std::string &text) {
            options.productID = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 16));
        },
        "only instruments of this USB product ID (hexadecimal)")
        ->type_name("HEX")
        ->check(CLI::Validator(ProductIdProblem, "", "product ID"));
}

void Parser::AddInstrument(CLI::App *command, bool withCommands)
{
    command->add_option("instrument", options.instrument, "the instrument's key or ID")->required();
    if (withCommands)
        command->add_option("commands", options.words, "command lines; with --binary, hexadecimal bytes")
            ->required();
    AddPid(command);
}

void Parser::AddRead(CLI::App *command)
{
    CLI::Option *binary = command->add_flag("--binary", options.binary, "commands and replies as hexadecimal bytes");
    command->add_option("--bytes", options.bytes, "binary: read this many bytes (default: until it stops sending)")
        ->needs(binary)
        ->type_name("N")
        ->check(CLI::Range(1u, 1u << 30));
    command->add_option("--timeout", options.timeoutMs, "how long to wait for a reply, in ms (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000));
}

void Parser::AddJson(CLI::App *command)
{
    command->add_flag("--json", options.json, "machine-readable output");
}

// The library: OSTREL_LIBRARY, else the bench's with a bench file, else the real one.
bool Load(Session &session, bool needBench)
{
    Options &options = session.options;
    const char *environment = std::getenv("OSTREL_BENCH");
    session.benchFromEnvironment = options.benchFile.empty() && environment != nullptr && *environment != '\0';
    if (session.benchFromEnvironment)
        options.benchFile = environment;
    session.loaded = LoadOstrel(needBench || !options.benchFile.empty(), session.library, session.loadError);
    return session.loaded;
}

// The bench file's instruments, plugged here, where a bad file is refused
// with its reason, and not once more by the library.
int PlugBench(Session &session)
{
    const Options &options = session.options;
    if (options.benchFile.empty())
        return kOk;
    if (!session.library.hasBench)
        return Fail(kUsage, std::string(session.benchFromEnvironment ? "OSTREL_BENCH names a bench file"
                                                                     : "--bench needs the simulated bench") +
                                "; " + session.library.file + " talks to real instruments" +
                                (session.benchFromEnvironment ? " (unset OSTREL_BENCH, or let OSTREL_LIBRARY name "
                                                                "the bench's library)"
                                                              : ""));
    os::Unset("OSTREL_BENCH");
    session.benchInstruments = session.library.bench.ostrel_sim_load_bench(options.benchFile.c_str());
    if (session.benchInstruments < 0)
        return Fail(kUsage, session.library.bench.ostrel_sim_last_error());
    return kOk;
}

int Version(const Session &session)
{
    std::puts("ostrel " OSTREL_VERSION);
    if (session.loaded)
        std::printf("library %s (%s)\n", session.library.file.c_str(), session.library.kind.c_str());
    else
        std::printf("library none loaded: %s\n", session.loadError.c_str());
    return kOk;
}

int Run(Session &session, Command command)
{
    if (command == UdevRule)
        return UdevRule(session);
    if (!session.loaded)
        return command == Doctor ? Doctor(session)
                                 : Fail(kFailed, "cannot load the Ostrel library: " + session.loadError +
                                                     " (OSTREL_LIBRARY names its file)");
    if (int status = PlugBench(session))
        return status;
    const Api &api = session.library.api;
    if (session.options.log)
        api.vorn_usb_SetLogging(true);
    if (session.options.trace)
        api.vorn_usb_SetTraceLog(true);
    const int status = command(session);
    api.vorn_usb_uninit_system();
    FinishAsking(); // before FinishReads: an asker may start a read until it ends
    FinishReads();  // ended at once by the shutdown
    // Asked once the library has opened its log, which makes a missing last folder itself.
    const std::string logProblem = LogFolderProblem();
    if (!logProblem.empty() && command != Doctor)
        Fail(kOk, logProblem + ": the library's log went elsewhere (ostrel doctor says where)");
    return status;
}

} // namespace
} // namespace ostrel::tool

int main(int argc, char **argv)
{
    using namespace ostrel::tool;
    Session session;
    Parser parser(session.options);
    try {
        parser.app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == 0)
            return parser.app.exit(error);
        const std::vector<CLI::App *> chosen = parser.app.get_subcommands();
        const std::string help = chosen.empty() ? "ostrel --help" : "ostrel " + chosen[0]->get_name() + " --help";
        return Fail(kUsage, std::string(error.what()) + " (see " + help + ")");
    }
    const std::vector<CLI::App *> chosen = parser.app.get_subcommands();
    if (chosen.empty() && !parser.version) {
        std::fputs(parser.app.help().c_str(), stderr);
        return kUsage;
    }
    session.options.command = chosen.empty() ? "" : chosen[0]->get_name();
    // After the instrument, "list" would be sent as a command line: a second command word of the tool's own.
    for (const std::string &word : session.options.words)
        if (parser.commands.end() != std::find_if(parser.commands.begin(), parser.commands.end(),
                                                  [&word](const auto &known) { return known.first->get_name() == word; }))
            return Fail(kUsage, "'" + word + "' is a command of ostrel, which runs one command at a time (to send "
                                "it to the instrument, write it in capitals)");
    if (!parser.version && (parser.commands[chosen[0]] == Record || parser.commands[chosen[0]] == BenchCheck))
        return parser.commands[chosen[0]](session);
    Load(session, session.options.command == "demo");
    return parser.version ? Version(session) : Run(session, parser.commands[chosen[0]]);
}
