// What the gateway's web server hands out: the status page, the LXI
// identification document and the metrics, each made from one snapshot of
// the gateway's state. Nothing here reaches an instrument.
#pragma once

#include "Gateway.h"
#include "Metrics.h"
#include "Network.h"

#include <string>
#include <vector>

namespace ostrel::tool::serve {

// The gateway as its documents describe it.
struct Site {
    Gateway *gateway = nullptr;
    Metrics *metrics = nullptr;
    Offered offered;
};

std::string StatusPage(const Site &site);         // text/html
std::string Identification(const Site &site);     // text/xml
std::string MetricsExposition(const Site &site);  // Prometheus text

// Text for HTML and XML, element content and quoted attributes alike.
std::string Escaped(const std::string &text);

// The VISA addresses a client opens the instrument by, VXI-11 first.
std::vector<std::string> AddressesOf(const Site &site, const Instrument &instrument);
std::string BaseUrl(const Site &site); // "http://host:port"
// An instrument's counts; zero for one nothing has happened on yet.
InstrumentCounts CountsOf(const MetricsSnapshot &counted, const Instrument &instrument);

} // namespace ostrel::tool::serve
