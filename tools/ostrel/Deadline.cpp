// Library reads on threads of their own, waited for only until a deadline.
#include "Deadline.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::tool {
namespace {

struct Pending {
    std::mutex mutex;
    std::condition_variable ended;
    std::optional<ReadOutcome> outcome;
};

std::mutex readsMutex;
std::map<std::string, std::shared_ptr<Pending>> underWay; // by channel
struct Reader {
    std::thread thread;
    std::shared_ptr<Pending> pending;
};
std::vector<Reader> readers;

bool Ended(Pending &pending)
{
    std::lock_guard<std::mutex> lock(pending.mutex);
    return pending.outcome.has_value();
}

// Readers whose read has ended are only leaving: joined here, so that a long
// shell session does not keep a thread per read.
void JoinEnded()
{
    for (auto reader = readers.begin(); reader != readers.end();) {
        if (!Ended(*reader->pending)) {
            ++reader;
            continue;
        }
        reader->thread.join();
        reader = readers.erase(reader);
    }
}

std::shared_ptr<Pending> Start(const std::function<ReadOutcome()> &read)
{
    JoinEnded();
    auto pending = std::make_shared<Pending>();
    readers.push_back({});
    readers.back().pending = pending;
    readers.back().thread = std::thread([pending, read] {
        const DeadlineClock::time_point start = DeadlineClock::now();
        ReadOutcome outcome = read();
        outcome.took = DeadlineClock::now() - start;
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->outcome = std::move(outcome);
        pending->ended.notify_all();
    });
    return pending;
}

} // namespace

std::optional<ReadOutcome> ReadUntil(const std::string &channel, const std::function<ReadOutcome()> &read,
                                     DeadlineClock::time_point deadline)
{
    std::shared_ptr<Pending> pending;
    {
        std::lock_guard<std::mutex> lock(readsMutex);
        std::shared_ptr<Pending> &slot = underWay[channel];
        if (slot == nullptr)
            slot = Start(read);
        pending = slot;
    }
    std::unique_lock<std::mutex> wait(pending->mutex);
    if (!pending->ended.wait_until(wait, deadline, [&] { return pending->outcome.has_value(); }))
        return std::nullopt;
    std::optional<ReadOutcome> outcome = std::move(pending->outcome);
    wait.unlock();
    std::lock_guard<std::mutex> lock(readsMutex);
    if (underWay[channel] == pending)
        underWay.erase(channel);
    return outcome;
}

void FinishReads()
{
    std::vector<Reader> ending;
    {
        std::lock_guard<std::mutex> lock(readsMutex);
        ending.swap(readers);
        underWay.clear();
    }
    for (Reader &reader : ending)
        reader.thread.join();
}

} // namespace ostrel::tool
