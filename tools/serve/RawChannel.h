// A raw SCPI socket to one instrument: messages in (each ending at its
// newline, blocks read by their headers), the reply to each that asks ('?') out.
#pragma once

#include "Gateway.h"
#include "SocketApi.h"

#include <string>

namespace ostrel::tool::serve {

struct RawSettings {
    Gateway *gateway = nullptr;
    std::string instrument; // "inst0"
    unsigned replyMs = 10000;
    unsigned idleSeconds = 600;
};

// Serves the connection until it closes or idles out; says why it ended.
std::string ServeRaw(Socket fd, const Client &client, const RawSettings &settings);

} // namespace ostrel::tool::serve
