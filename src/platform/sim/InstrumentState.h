// What a bench instrument remembers between commands: its settings and its error queue.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::sim {

// One setting: `get` answers its value, the setter (a command with "{}" where
// the value goes) changes it, to one of `values` when any are listed.
struct PropertyConfig {
    std::string name;
    std::string initial;
    std::string get;                  // empty: no query
    bool settable = false;
    std::string setBefore, setAfter;  // the setter around its "{}"
    std::vector<std::string> values;  // empty: any value
};

// The settings' current values and the errors not yet read, as an instrument
// keeps them from plugging until unplugging. Not thread-safe: the instrument
// holds its lock around every call.
class InstrumentState {
public:
    explicit InstrumentState(const std::vector<PropertyConfig> &properties);

    // A setting's query or setter, or the error query: true, with the reply
    // (empty for a setter) in `reply`. False for any other command.
    bool Handle(std::string_view command, std::string &reply);

    // A command the instrument does not know.
    void Unknown();

private:
    void Set(const PropertyConfig &property, std::string_view value, std::string &current);
    void Queue(const char *error);

    const std::vector<PropertyConfig> &properties;
    std::vector<std::string> current; // one per property
    std::deque<std::string> errors;   // oldest first
};

} // namespace ostrel::sim
