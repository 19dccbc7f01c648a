// Library reads on each instrument's background reader, waited for only until a deadline.
#include "Deadline.h"

#include "BackgroundRead.h"

#include <map>
#include <memory>
#include <mutex>

namespace ostrel::tool {
namespace {

std::mutex readersMutex;
std::map<std::string, std::unique_ptr<BackgroundRead>> readers; // by key, for the process

BackgroundRead &ReaderOf(const Api &api, const std::string &key)
{
    std::lock_guard<std::mutex> lock(readersMutex);
    std::unique_ptr<BackgroundRead> &reader = readers[key];
    if (reader == nullptr)
        reader = std::make_unique<BackgroundRead>(api, key);
    return *reader;
}

// The read as the reader's job: its outcome travels as a reply, the time it
// took in the reply's waitedMs.
std::function<Reply()> AsJob(const std::function<ReadOutcome()> &read)
{
    return [read] {
        ReadOutcome outcome = read();
        Reply reply;
        reply.outcome = outcome.ok ? Reply::kComplete : Reply::kFailed;
        reply.bytes = std::move(outcome.bytes);
        reply.waitedMs =
            static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(outcome.took).count());
        return reply;
    };
}

} // namespace

std::optional<ReadOutcome> ReadUntil(const Api &api, const std::string &key, const std::function<ReadOutcome()> &read,
                                     DeadlineClock::time_point deadline)
{
    BackgroundRead &reader = ReaderOf(api, key);
    reader.Start(AsJob(read)); // refused while an earlier read is under way or untaken: its outcome is this one
    if (!reader.Wait(deadline))
        return std::nullopt;
    Reply reply = reader.Take();
    return ReadOutcome{reply.outcome == Reply::kComplete, std::move(reply.bytes),
                       std::chrono::milliseconds(reply.waitedMs)};
}

void FinishReads()
{
    std::map<std::string, std::unique_ptr<BackgroundRead>> ending;
    {
        std::lock_guard<std::mutex> lock(readersMutex);
        ending.swap(readers);
    }
    ending.clear(); // each waits for its read under way, ended by the shutdown
}

} // namespace ostrel::tool
