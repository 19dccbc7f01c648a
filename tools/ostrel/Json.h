// The tool's JSON output: one line per value.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace ostrel::tool {

// Instruments' replies are bytes, not always UTF-8: those bytes are replaced
// rather than refused.
inline std::string JsonLine(const nlohmann::json &value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ostrel::tool
