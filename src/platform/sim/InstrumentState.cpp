// What a bench instrument remembers between commands: its settings and its error queue.
#include "platform/sim/InstrumentState.h"

#include <algorithm>

namespace ostrel::sim {
namespace {

// The texts and numbers instruments commonly use for these errors.
const char kNoError[] = "0,\"No error\"";
const char kUndefinedHeader[] = "-113,\"Undefined header\"";
const char kMissingParameter[] = "-109,\"Missing parameter\"";
const char kOutOfRange[] = "-222,\"Data out of range\"";
const char kQueueOverflow[] = "-350,\"Queue overflow\"";
const char kErrorQuery[] = "SYST:ERR?";
const char kLineEnd[] = "\r\n";

// An instrument's queue holds a few errors; the newest one then says that
// more were lost, so that a program that never reads them cannot grow it.
constexpr size_t kQueueLength = 16;

bool Wraps(std::string_view command, const PropertyConfig &property)
{
    return property.settable && command.size() >= property.setBefore.size() + property.setAfter.size() &&
           command.substr(0, property.setBefore.size()) == property.setBefore &&
           command.substr(command.size() - property.setAfter.size()) == property.setAfter;
}

} // namespace

InstrumentState::InstrumentState(const std::vector<PropertyConfig> &properties) : properties(properties)
{
    for (const PropertyConfig &property : properties)
        current.push_back(property.initial);
}

bool InstrumentState::Handle(std::string_view command, std::string &reply)
{
    reply.clear();
    if (command == kErrorQuery) {
        reply = errors.empty() ? kNoError : errors.front();
        if (!errors.empty())
            errors.pop_front();
        reply += kLineEnd;
        return true;
    }
    for (size_t i = 0; i < properties.size(); ++i) {
        if (!properties[i].get.empty() && command == properties[i].get) {
            reply = current[i] + kLineEnd;
            return true;
        }
        if (Wraps(command, properties[i])) {
            const PropertyConfig &property = properties[i];
            Set(property, command.substr(property.setBefore.size(), command.size() - property.setBefore.size() -
                                                                         property.setAfter.size()),
                current[i]);
            return true;
        }
    }
    return false;
}

void InstrumentState::Set(const PropertyConfig &property, std::string_view value, std::string &current)
{
    if (value.empty())
        Queue(kMissingParameter);
    else if (!property.values.empty() &&
             std::find(property.values.begin(), property.values.end(), value) == property.values.end())
        Queue(kOutOfRange);
    else
        current.assign(value);
}

void InstrumentState::Unknown()
{
    Queue(kUndefinedHeader);
}

void InstrumentState::Queue(const char *error)
{
    if (errors.size() < kQueueLength)
        errors.emplace_back(error);
    else
        errors.back() = kQueueOverflow;
}

} // namespace ostrel::sim
