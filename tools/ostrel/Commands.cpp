// The tool's commands list, query, send and read.
#include "Cli.h"
#include "Exchange.h"
#include "Instruments.h"
#include "Json.h"
#include "Output.h"

#include <cstdio>

namespace ostrel::tool {
namespace {

int NothingFound(Session &session, const Discovery &found)
{
    std::string message = "no instruments found";
    if (session.options.productID != 0) {
        char pid[16];
        std::snprintf(pid, sizeof pid, "%04X", session.options.productID);
        message += std::string(" with product ID ") + pid;
    }
    Fail(kFailed, message);
    ExplainNothingFound(session, found.logTexts);
    return kFailed;
}

// Names the instrument of the command line and sends each command and/or reads each reply.
int Transfer(Session &session, bool send, bool read)
{
    const Options &options = session.options;
    Discovery found = Discover(session, false);
    if (found.rows.empty())
        return NothingFound(session, found);
    std::string error;
    const Row *row = Resolve(session, found, options.instrument, error);
    if (row == nullptr)
        return Fail(kFailed, error);

    std::vector<std::string> commands = send ? options.words : std::vector<std::string>{""};
    if (send && options.binary) {
        commands.assign(1, "");
        if (!ParseHex(options.words, commands[0]))
            return Fail(kUsage, "--binary takes hexadecimal bytes such as 0A FF 00");
    }
    const ReadRule rule{.binary = options.binary, .bytes = options.bytes, .timeoutMs = options.timeoutMs};
    nlohmann::json records = nlohmann::json::array();
    const Exchange exchange{.api = session.library.api,
                            .row = *row,
                            .name = options.instrument,
                            .binary = options.binary,
                            .reading = read ? &rule : nullptr,
                            .records = options.json ? &records : nullptr};
    Exchange sendOnly = exchange;
    sendOnly.reading = nullptr;
    int status = kOk;
    for (const std::string &command : commands) {
        // As on the instruments' own buses, a command that asks holds '?'; a
        // setting between two queries gets no reply to wait for.
        const bool asks = !send || options.binary || command.find('?') != std::string::npos;
        if (!Run(asks ? exchange : sendOnly, command, send)) {
            status = kFailed;
            break;
        }
    }
    if (options.json)
        Say(JsonLine(records));
    return status;
}

} // namespace

int List(Session &session)
{
    const Discovery found = Discover(session, true);
    if (found.rows.empty()) {
        if (session.options.json)
            Say("[]");
        return NothingFound(session, found);
    }
    ShowRows(found, session.options.json, "");
    return kOk;
}

int Query(Session &session)
{
    return Transfer(session, true, true);
}

int Send(Session &session)
{
    return Transfer(session, true, false);
}

int Read(Session &session)
{
    return Transfer(session, false, true);
}

} // namespace ostrel::tool
