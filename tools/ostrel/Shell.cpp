// shell: a conversation with one instrument, with built-ins for what a program would do.
#include "Cli.h"
#include "Exchange.h"
#include "LineEditor.h"
#include "Output.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ostrel::tool {
namespace {

const char kHelp[] = R"(built-ins:
  query <command>   send the command and print its reply
  write <command>   send the command, read nothing
  read              read one reply
  list              the instruments, as ostrel list shows them
  timeout [MS]      show or set how long a read waits (now %u ms)
  binary [on|off]   commands and replies as hex bytes (now %s)
  help              this list
  quit              the end (so is Ctrl-D)
Any other line is sent: as a query when it holds '?', else as a write.
)";

struct Conversation {
    Session &session;
    const Row &row;
    unsigned timeoutMs;
    bool binary;
};

std::vector<std::string> Words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool Refuse(const std::string &message)
{
    Fail(kUsage, message + " (help lists the built-ins)");
    return false;
}

bool Transfer(const Conversation &conversation, const std::string &text, bool send, bool read)
{
    if (send && text.empty())
        return Refuse("that needs a command to send");
    std::string command = conversation.binary ? "" : text;
    if (send && conversation.binary && !ParseHex(Words(text), command))
        return Refuse("in binary mode commands are hexadecimal bytes such as 0A FF 00");
    const ReadRule rule{.binary = conversation.binary, .bytes = 0, .timeoutMs = conversation.timeoutMs};
    const Exchange exchange{.api = conversation.session.library.api,
                            .row = conversation.row,
                            .name = conversation.session.options.instrument,
                            .binary = conversation.binary,
                            .reading = read ? &rule : nullptr,
                            .records = nullptr};
    return Run(exchange, command, send);
}

bool SetTimeout(Conversation &conversation, const std::string &value)
{
    char *end = nullptr;
    const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
    if (!value.empty() && (*end != '\0' || ms == 0 || ms > 3600000))
        return Refuse("timeout takes milliseconds from 1 to 3600000");
    if (!value.empty())
        conversation.timeoutMs = static_cast<unsigned>(ms);
    std::fprintf(stderr, "timeout %u ms\n", conversation.timeoutMs);
    return true;
}

bool SetBinary(Conversation &conversation, const std::string &value)
{
    if (value != "" && value != "on" && value != "off")
        return Refuse("binary takes on or off");
    if (!value.empty())
        conversation.binary = value == "on";
    std::fprintf(stderr, "binary %s\n", conversation.binary ? "on" : "off");
    return true;
}

// One line of the shell; false after a failure.
bool Perform(Conversation &conversation, const std::string &line)
{
    const size_t wordEnd = line.find_first_of(" \t");
    const std::string word = line.substr(0, wordEnd);
    const size_t restStart = line.find_first_not_of(" \t", wordEnd);
    const std::string rest = restStart == std::string::npos ? "" : line.substr(restStart);
    if (word == "help")
        return std::fprintf(stderr, kHelp, conversation.timeoutMs, conversation.binary ? "on" : "off"), true;
    if (word == "list") {
        const Discovery found = Discover(conversation.session, true);
        ShowRows(found, false, "");
        return true;
    }
    if (word == "query" || word == "write")
        return Transfer(conversation, rest, true, word == "query");
    if (word == "read")
        return rest.empty() ? Transfer(conversation, "", false, true) : Refuse("read takes nothing");
    if (word == "timeout")
        return SetTimeout(conversation, rest);
    if (word == "binary")
        return SetBinary(conversation, rest);
    return Transfer(conversation, line, true, line.find('?') != std::string::npos);
}

} // namespace

int Shell(Session &session)
{
    Discovery found = Discover(session, false);
    std::string error;
    const Row *row = found.rows.empty() ? nullptr : Resolve(session, found, session.options.instrument, error);
    if (row == nullptr)
        return Fail(kFailed, found.rows.empty() ? "no instruments found (ostrel list says why)" : error);
    Conversation conversation{session, *row, session.options.timeoutMs, false};
    std::fprintf(stderr, "talking to %s (%s); help lists the built-ins, quit ends\n",
                 session.options.instrument.c_str(), row->key.c_str());
    LineEditor editor;
    int status = kOk;
    for (std::string line; editor.ReadLine("ostrel> ", line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        line.erase(0, start);
        if (line == "quit" || line == "exit")
            break;
        if (!Perform(conversation, line))
            status = kFailed;
    }
    return status;
}

} // namespace ostrel::tool
