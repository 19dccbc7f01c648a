// The tool's view of the instruments through the public API: every one that
// answered *IDN?, its ID from ADDR? when it answers that too, and how many the
// scan found but left out.
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
    int number = -1; // the scan's sequential ID
};

struct Discovery {
    std::vector<Row> rows;             // in key order
    std::vector<std::string> logTexts; // what the scan wrote to the log
    bool addressesAsked = false;
    // Instruments the scan numbered but left out of the table: one that
    // answered with a key the table already holds, or did not answer *IDN?.
    // Only those numbered before the last one in the table can be seen.
    int leftOut = 0;
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

// Waits for the ADDR? askers that Resolve left behind; call it once the
// library has been shut down, which ends their reads at once.
void FinishAsking();

// The table (ID, key, model, serial, identity), or with `json` an array of
// objects; both say which instruments have no ID, and a warning on stderr how
// many were left out.
void ShowRows(const Discovery &found, bool json, const std::string &indent);

// "2 instruments were found but left out ..." for `leftOut` of them.
std::string LeftOut(int leftOut);

// "5" or "-" (no ID).
std::string ShowId(const std::optional<int> &id);

} // namespace ostrel::tool
