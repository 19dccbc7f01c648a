// The gateway's metrics in Prometheus' text format (0.0.4): counters and the
// latency histogram per instrument, links and locks as gauges.
#include "Documents.h"

#include <cstdio>
#include <functional>

namespace ostrel::tool::serve {
namespace {

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// Label values escape backslash, quote and line feed; a stable name is a device key and may hold any of them.
std::string LabelValue(const std::string &text)
{
    std::string value;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            value += '\\';
        value += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return value;
}

struct Family {
    const char *name;
    const char *type;
    const char *help;
};

constexpr Family kQueries{"ostrel_serve_queries_total", "counter", "Messages that asked, whose whole reply was read."};
constexpr Family kErrors{"ostrel_serve_errors_total", "counter", "Writes and reads that failed, time-outs apart."};
constexpr Family kTimeouts{"ostrel_serve_timeouts_total", "counter", "Writes and reads that timed out."};
constexpr Family kLatency{"ostrel_serve_query_latency_seconds", "histogram",
                          "From a query's message sent to its reply's end."};
constexpr Family kLinks{"ostrel_serve_links_open", "gauge", "Links open to the instrument."};
constexpr Family kLocks{"ostrel_serve_locks_held", "gauge", "1 while a link holds the instrument's lock."};
constexpr Family kRefused{"ostrel_serve_refused_connections_total", "counter",
                          "Connections refused: not in --allow, or over the bounds."};

std::string Header(const Family &family)
{
    return std::string("# HELP ") + family.name + " " + family.help + "\n# TYPE " + family.name + " " + family.type +
           "\n";
}

// One sample per instrument of each family, the families one after the other as the format asks.
std::string PerInstrument(const Family &family, const std::vector<InstrumentState> &states,
                          const std::function<std::string(const std::string &name, const std::string &labels,
                                                          const InstrumentState &state)> &samples)
{
    std::string text = Header(family);
    for (const InstrumentState &state : states) {
        const Instrument &instrument = *state.instrument;
        const std::string labels =
            "instrument=\"" + instrument.name + "\",name=\"" + LabelValue(StableName(instrument.key)) + "\"";
        text += samples(family.name, labels, state);
    }
    return text;
}

std::string Sample(const std::string &name, const std::string &labels, const std::string &value)
{
    return name + "{" + labels + "} " + value + "\n";
}

std::string Histogram(const std::string &name, const std::string &labels, const InstrumentCounts &counts)
{
    std::string text;
    for (size_t i = 0; i < kLatencyBuckets.size(); ++i)
        text += Sample(name + "_bucket", labels + ",le=\"" + Number(kLatencyBuckets[i]) + "\"",
                       std::to_string(counts.buckets[i]));
    text += Sample(name + "_bucket", labels + ",le=\"+Inf\"", std::to_string(counts.queries));
    text += Sample(name + "_sum", labels, Number(counts.latencySum));
    return text + Sample(name + "_count", labels, std::to_string(counts.queries));
}

} // namespace

std::string MetricsExposition(const Site &site)
{
    const std::vector<InstrumentState> states = site.gateway->Snapshot();
    const MetricsSnapshot counted = site.metrics->Snapshot();
    const auto countsOf = [&](const InstrumentState &state) { return CountsOf(counted, *state.instrument); };
    const auto counter = [&](unsigned long long InstrumentCounts::*field) {
        return [&, field](const std::string &name, const std::string &labels, const InstrumentState &state) {
            return Sample(name, labels, std::to_string(countsOf(state).*field));
        };
    };
    std::string text = PerInstrument(kQueries, states, counter(&InstrumentCounts::queries));
    text += PerInstrument(kErrors, states, counter(&InstrumentCounts::errors));
    text += PerInstrument(kTimeouts, states, counter(&InstrumentCounts::timeouts));
    text += PerInstrument(kLatency, states, [&](const std::string &name, const std::string &labels,
                                                const InstrumentState &state) {
        return Histogram(name, labels, countsOf(state));
    });
    text += PerInstrument(kLinks, states, [](const std::string &name, const std::string &labels,
                                             const InstrumentState &state) {
        return Sample(name, labels, std::to_string(state.links));
    });
    text += PerInstrument(kLocks, states, [](const std::string &name, const std::string &labels,
                                             const InstrumentState &state) {
        return Sample(name, labels, state.lockHolder.empty() ? "0" : "1");
    });
    return text + Header(kRefused) + kRefused.name + " " + std::to_string(counted.refused) + "\n";
}

} // namespace ostrel::tool::serve
