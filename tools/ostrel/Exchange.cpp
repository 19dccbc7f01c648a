// One command sent to an instrument and its reply read and shown.
#include "Exchange.h"

#include "Log.h"
#include "Output.h"

namespace ostrel::tool {
namespace {

std::string Shown(const Exchange &exchange, const std::string &bytes)
{
    return exchange.binary ? FormatHex(bytes) : bytes;
}

void Show(const Exchange &exchange, const std::string &command, const Reply &reply)
{
    const std::string text = Shown(exchange, reply.outcome == Reply::kComplete && !exchange.binary ? ReplyText(reply)
                                                                                                     : reply.bytes);
    if (exchange.records == nullptr) {
        if (reply.outcome == Reply::kComplete || !reply.bytes.empty())
            Say(text);
        return;
    }
    nlohmann::json record = {
        {"key", exchange.row.key}, {"reply", text}, {"complete", reply.outcome == Reply::kComplete}};
    if (!command.empty())
        record["command"] = Shown(exchange, command);
    exchange.records->push_back(record);
}

} // namespace

bool Run(const Exchange &exchange, const std::string &command, bool send)
{
    const LogMark log;
    if (send && !SendCommand(exchange.api, exchange.row.key, command, exchange.binary)) {
        const std::string said = log.Last({"GetLastError = ", "USB::Write: "});
        Fail(kFailed, "could not send '" + Shorten(Shown(exchange, command)) + "' to " + exchange.name +
                          (said.empty() ? "" : " (log: " + said + ")"));
        return false;
    }
    if (exchange.reading == nullptr)
        return true;
    const Reply reply = ReadReply(exchange.api, exchange.row.key, *exchange.reading);
    Show(exchange, command, reply);
    if (reply.outcome == Reply::kComplete)
        return true;
    Fail(kFailed, Explain(reply, *exchange.reading, exchange.name, Shown(exchange, command)));
    return false;
}

} // namespace ostrel::tool
