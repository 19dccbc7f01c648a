// The log's queue and the one thread that writes it, to the journal or to
// standard output.
#include "LogWriter.h"

#include "../ostrel/Output.h"
#include "Journal.h"
#include "StandardOutput.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::tool::serve {
namespace {

// Lines held while the output is slow: a crowd of clients connecting at once
// fits; a reader that has stopped costs no more than this.
constexpr size_t kQueued = 1024;

struct Line {
    std::string stamp;
    std::string text;
};

class LogWriter {
public:
    LogWriter() : journal(OutputIsJournal()) { std::thread([this] { Run(); }).detach(); }

    void Queue(Line line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (lines.size() >= kQueued) {
            ++dropped;
            return;
        }
        lines.push_back(std::move(line));
        queued.notify_one();
    }

    void Flush(std::chrono::milliseconds within)
    {
        std::unique_lock<std::mutex> lock(mutex);
        written.wait_for(lock, within, [this] { return lines.empty() && dropped == 0 && !writing; });
    }

private:
    // Lines are dropped only while the queue is full, and it empties only
    // here: the dropped ones came after every line taken with them.
    void Run()
    {
        for (;;) {
            std::vector<Line> batch;
            size_t lost = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                writing = false;
                written.notify_all();
                queued.wait(lock, [this] { return !lines.empty() || dropped > 0; });
                batch.swap(lines);
                lost = dropped;
                dropped = 0;
                writing = true;
            }
            if (lost > 0)
                batch.push_back({Timestamp(), std::to_string(lost) + " log lines dropped: the output did not keep up"});
            Write(batch);
        }
    }

    // A line the journal does not take goes to standard output, which
    // systemd connects to the journal too.
    void Write(const std::vector<Line> &batch) const
    {
        std::string text;
        for (const Line &line : batch)
            if (!journal || !ToJournal(line.stamp, line.text))
                text += line.stamp + "  " + line.text + "\n";
        size_t written = 0;
        while (written < text.size()) {
            const size_t some = WriteSomeOutput(text.data() + written, text.size() - written);
            if (some == 0)
                return;
            written += some;
        }
    }

    const bool journal;
    std::mutex mutex;
    std::condition_variable queued;  // lines wait, or were dropped
    std::condition_variable written; // the writer has caught up
    std::vector<Line> lines;
    size_t dropped = 0;
    bool writing = false;
};

// Never destroyed: a writer blocked on output nobody reads is still there when
// the process exits.
LogWriter &TheWriter()
{
    static LogWriter *const writer = new LogWriter;
    return *writer;
}

} // namespace

void QueueLogLine(const std::string &stamp, const std::string &text)
{
    TheWriter().Queue({stamp, text});
}

void FlushLog(std::chrono::milliseconds within)
{
    TheWriter().Flush(within);
}

} // namespace ostrel::tool::serve
