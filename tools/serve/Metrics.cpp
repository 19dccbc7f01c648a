// The gateway's counts under one lock: each event is a few additions.
#include "Metrics.h"

namespace ostrel::tool::serve {

void Metrics::Asked(const std::string &instrument)
{
    std::lock_guard<std::mutex> lock(mutex);
    asked[instrument] = Clock::now();
}

void Metrics::Answered(const std::string &instrument)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto started = asked.find(instrument);
    // A reply read in parts ends once; a reply nobody asked for (a clear's leftover) is no query.
    if (started == asked.end())
        return;
    const double seconds = std::chrono::duration<double>(Clock::now() - started->second).count();
    asked.erase(started);
    InstrumentCounts &counted = counts[instrument];
    ++counted.queries;
    counted.latencySum += seconds;
    for (size_t i = 0; i < kLatencyBuckets.size(); ++i)
        if (seconds <= kLatencyBuckets[i])
            ++counted.buckets[i];
}

void Metrics::Failed(const std::string &instrument)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++counts[instrument].errors;
}

void Metrics::TimedOut(const std::string &instrument)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++counts[instrument].timeouts;
}

void Metrics::Refused()
{
    std::lock_guard<std::mutex> lock(mutex);
    ++refused;
}

MetricsSnapshot Metrics::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return {counts, refused};
}

} // namespace ostrel::tool::serve
