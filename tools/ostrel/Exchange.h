// One command sent to an instrument and its reply read and shown, as query,
// send, read and the shell do it.
#pragma once

#include "Instruments.h"
#include "Transfer.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ostrel::tool {

struct Exchange {
    const Api &api;
    const Row &row;
    std::string name;        // the instrument as the user named it
    bool binary = false;     // commands and replies as hex bytes
    const ReadRule *reading; // null: send only
    nlohmann::json *records; // non-null: replies go here (for --json), not to stdout
};

// Sends `command` (unless `send` is false) and reads its reply. The reply, or
// as much as came, is shown; a failure is reported on stderr: false.
bool Run(const Exchange &exchange, const std::string &command, bool send);

} // namespace ostrel::tool
