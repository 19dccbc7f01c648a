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
    "table{border-collapse:collapse}th,td{padding:.35em .6em;border-bottom:1px solid #ccc;text-align:left;"
    "vertical-align:top}th{background:#eee}b,code,span{white-space:nowrap}.off{color:#999}.held{color:#a40}"
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

// "1 link", "2 queries".
std::string Count(unsigned long long count, const std::string &what)
{
    const std::string many = what.back() == 'y' ? what.substr(0, what.size() - 1) + "ies" : what + "s";
    return std::to_string(count) + " " + (count == 1 ? what : many);
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
    const bool locked = !state.lockHolder.empty();
    const std::string lock =
        locked ? "held by " + Escaped(state.lockHolder) + "<br><span>since " + Utc(state.lockedSince) + "</span>"
               : "free";
    const std::string activity = Count(state.links, "link") + "<br>" + Count(counts.queries, "query") + "<br>" +
                                 Count(counts.errors, "error") + "<br>" + Count(counts.timeouts, "time-out");
    const bool present = instrument.present;
    return std::string("<tr") + (present ? "" : " class=\"off\"") + ">" +
           Cell("<b>" + Escaped(StableName(instrument.key)) + "</b><br>" + Escaped(instrument.name)) +
           Cell(Escaped(instrument.key) + "<br><small>" + Escaped(state.identity) + "</small>") +
           Cell(addresses) + Cell(present ? "present" : "unplugged") + Cell(lock, locked ? "held" : "") +
           Cell(activity) + "</tr>\n";
}

} // namespace

std::string StatusPage(const Site &site)
{
    const std::vector<InstrumentState> states = site.gateway->Snapshot();
    const MetricsSnapshot counted = site.metrics->Snapshot();
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kRefreshSeconds) + "\">"
                       "<title>ostrel serve on " + Escaped(site.offered.host) + "</title><style>" + kStyle +
                       "</style></head><body>\n<h1>ostrel serve on " + Escaped(site.offered.host) + "</h1>\n<p>" +
                       std::to_string(states.size()) + " instruments, as of " +
                       Utc(std::chrono::system_clock::now()) + "; " + std::to_string(counted.refused) +
                       " connections refused. <a href=\"/metrics\">Metrics</a> · "
                       "<a href=\"/lxi/identification\">LXI identification</a></p>\n";
    html += "<table>\n<tr><th>Stable name, instN</th><th>Key, identity</th><th>Addresses</th>"
            "<th>State</th><th>Lock</th><th>Activity</th></tr>\n";
    for (const InstrumentState &state : states)
        html += Row(site, state, CountsOf(counted, *state.instrument));
    if (states.empty())
        html += "<tr><td colspan=\"6\">No instruments yet: each one plugged in is served as the next "
                "instN.</td></tr>\n";
    return html + "</table>\n</body></html>\n";
}

} // namespace ostrel::tool::serve
