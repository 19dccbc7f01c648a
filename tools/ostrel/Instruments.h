// The tool's view of the instruments through the public API: every one that
// answered *IDN?, its ID from ADDR? when it answers that too, and keys that
// several instruments share.
#pragma once

#include "Cli.h"

#include <optional>
#include <string>
#include <vector>

namespace ostrel::tool {

struct Row {
    std::optional<int> id; // from ADDR?; none when it did not answer
    std::string key;
    int model = 0;
    int serial = 0;
    std::string identity;
    int sameKey = 1; // instruments that answered with this key; the library keeps one
};

struct Discovery {
    std::vector<Row> rows;             // in key order
    std::vector<std::string> logTexts; // what the scan wrote to the log
    bool addressesAsked = false;
};

// The instruments of the device table now, in key order (no IDs asked).
std::vector<Row> CurrentRows(const Api &api);

// One static discovery that keeps every instrument answering *IDN?; with
// `askAddresses`, ADDR? gives each its ID (all asked at once).
Discovery Discover(Session &session, bool askAddresses);

// The ID the instrument gives in reply to ADDR?, read as the library reads it.
std::optional<int> AskAddress(const Api &api, const std::string &key);

// The IDs of these instruments, all asked at once.
std::vector<std::optional<int>> AskAddresses(const Api &api, const std::vector<std::string> &keys);

// An instrument named on the command line: by key, else by ID. Null with the
// reason in `error` for a name that fits none, or an ID that several share.
const Row *Resolve(Session &session, Discovery &found, const std::string &name, std::string &error);

// The table (ID, key, model, serial, identity), or with `json` an array of
// objects; both say which instruments have no ID and which keys are shared.
void ShowRows(const std::vector<Row> &rows, bool json, const std::string &indent);

// "5" or "-" (no ID).
std::string ShowId(const std::optional<int> &id);

} // namespace ostrel::tool
