// The status page a person reads in a browser: every instrument, who holds
// it, and how it has fared. It refreshes itself; everything it needs is in it.
#include "Documents.h"

#include <ctime>

namespace ostrel::tool::serve {
namespace {

// How often the browser loads the page again.
constexpr int kRefreshSeconds = 5;

constexpr const char *kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse}th,td{padding:.35em .8em;border-bottom:1px solid #ccc;text-align:left;"
    "vertical-align:top;white-space:nowrap}th{background:#eee}td.n{text-align:right}.off{color:#999}.held{color:#a40}"
    "code{font-size:.9em}";

std::string Utc(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string Cell(const std::string &html, const char *cls = "")
{
    return std::string("<td") + (*cls ? std::string(" class=\"") + cls + "\"" : "") + ">" + html + "</td>";
}

std::string Row(const Site &site, const InstrumentState &state, const InstrumentCounts &counts)
{
    const Instrument &instrument = *state.instrument;
    std::string addresses;
    for (const std::string &address : AddressesOf(site, instrument))
        addresses += "<code>" + Escaped(address) + "</code><br>";
    const std::string lock = state.lockHolder.empty()
                                 ? "free"
                                 : "held by " + Escaped(state.lockHolder) + " since " + Utc(state.lockedSince);
    const bool present = instrument.present;
    return std::string("<tr") + (present ? "" : " class=\"off\"") + ">" + Cell(Escaped(instrument.name)) +
           Cell(Escaped(StableName(instrument.key))) + Cell(Escaped(instrument.key)) +
           Cell(Escaped(instrument.identity)) + Cell(addresses) + Cell(present ? "present" : "unplugged") +
           Cell(lock, state.lockHolder.empty() ? "" : "held") + Cell(std::to_string(state.links), "n") +
           Cell(std::to_string(counts.queries), "n") + Cell(std::to_string(counts.errors) + " / " + std::to_string(counts.timeouts), "n") +
           "</tr>\n";
}

} // namespace

std::string StatusPage(const Site &site)
{
    const std::vector<InstrumentState> states = site.gateway->Snapshot();
    const MetricsSnapshot counted = site.metrics->Snapshot();
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kRefreshSeconds) + "\">"
                       "<title>ostrel serve on " + Escaped(site.host) + "</title><style>" + kStyle +
                       "</style></head><body>\n<h1>ostrel serve on " + Escaped(site.host) + "</h1>\n<p>" +
                       std::to_string(states.size()) + " instruments, as of " +
                       Utc(std::chrono::system_clock::now()) + "; " + std::to_string(counted.refused) +
                       " connections refused. <a href=\"/metrics\">Metrics</a> · "
                       "<a href=\"/lxi/identification\">LXI identification</a></p>\n";
    html += "<table>\n<tr><th>Name</th><th>Stable name</th><th>Key</th><th>Identity</th><th>Addresses</th>"
            "<th>State</th><th>Lock</th><th>Links</th><th>Queries</th><th>Errors / time-outs</th></tr>\n";
    for (const InstrumentState &state : states)
        html += Row(site, state, CountsOf(counted, *state.instrument));
    if (states.empty())
        html += "<tr><td colspan=\"10\">No instruments yet: each one plugged in is served as the next instN.</td></tr>\n";
    return html + "</table>\n</body></html>\n";
}

} // namespace ostrel::tool::serve
