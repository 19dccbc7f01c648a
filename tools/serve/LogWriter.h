// The gateway's log lines leave the thread that notes them at once: a bounded
// queue and one writer thread, so that output nobody reads (a pipe not
// drained, a stalled journal) holds up no request and no stop.
#pragma once

#include <chrono>
#include <string>

namespace ostrel::tool::serve {

// Queues "<stamp>  <text>" for the writer. A line that finds the queue full is
// dropped and counted; the writer says how many when it writes again.
void QueueLogLine(const std::string &stamp, const std::string &text);

// Waits until every queued line is written, at most `within`: what a reader
// that has stopped reading has not taken by then is lost.
void FlushLog(std::chrono::milliseconds within);

} // namespace ostrel::tool::serve
