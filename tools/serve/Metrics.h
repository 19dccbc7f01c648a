// What the gateway has done, per instrument, for its status page and for
// monitoring: queries answered and how long they took, errors, time-outs, and
// connections refused. Counted where the events happen, from any thread.
#pragma once

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace ostrel::tool::serve {

// Upper bounds (seconds) of the latency histogram's buckets; +Inf follows.
constexpr std::array<double, 10> kLatencyBuckets{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1, 5};

struct InstrumentCounts {
    unsigned long long queries = 0; // messages that asked, whose whole reply was read
    unsigned long long errors = 0;  // writes and reads that failed other than by time-out
    unsigned long long timeouts = 0;
    std::array<unsigned long long, kLatencyBuckets.size()> buckets{}; // queries within each bound, cumulative
    double latencySum = 0;
};

struct MetricsSnapshot {
    std::map<std::string, InstrumentCounts> instruments; // by instN
    unsigned long long refused = 0;
};

class Metrics {
public:
    using Clock = std::chrono::steady_clock;

    // A message that asks has gone to the instrument: its query's time starts.
    void Asked(const std::string &instrument);
    // A read handed back the end of a reply: the query is answered.
    void Answered(const std::string &instrument);
    void Failed(const std::string &instrument);
    void TimedOut(const std::string &instrument);
    void Refused();

    MetricsSnapshot Snapshot() const;

private:
    mutable std::mutex mutex;
    std::map<std::string, InstrumentCounts> counts;
    std::map<std::string, Clock::time_point> asked; // queries whose reply has not ended yet
    unsigned long long refused = 0;
};

} // namespace ostrel::tool::serve
