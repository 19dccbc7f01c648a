// A reply read on a thread of its own, waited for with a deadline.
#include "BackgroundRead.h"

namespace ostrel::tool {

// How often a waiting caller asks whether to give up.
constexpr auto kLook = std::chrono::milliseconds(5);

BackgroundRead::BackgroundRead(const Api &api, std::string key) : api(api), key(std::move(key))
{
    worker = std::thread([this] { Run(); });
}

BackgroundRead::~BackgroundRead()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
        abandoned = true;
    }
    changed.notify_all();
    worker.join();
}

void BackgroundRead::Run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return quitting || state == State::kReading; });
        if (quitting)
            return;
        const ReadRule now = rule;
        const std::function<Reply()> job = std::move(call);
        call = nullptr;
        lock.unlock();
        Reply got = job ? job() : ReadQuietly(api, key, now);
        // Given up by its reader, not failed by the instrument.
        if (got.outcome == Reply::kFailed && abandoned)
            got.outcome = got.bytes.empty() ? Reply::kTimedOut : Reply::kCut;
        lock.lock();
        reply = std::move(got);
        state = State::kEnded;
        // Woken after the lock is let go, the waiter need not wait for it a second time.
        lock.unlock();
        changed.notify_all();
        lock.lock();
    }
}

bool BackgroundRead::Start(const ReadRule &read)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != State::kIdle)
            return false;
        rule = read;
        rule.abandon = &abandoned;
        abandoned = false;
        state = State::kReading;
    }
    changed.notify_all();
    return true;
}

bool BackgroundRead::Start(std::function<Reply()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != State::kIdle)
            return false;
        call = std::move(job);
        abandoned = false;
        state = State::kReading;
    }
    changed.notify_all();
    return true;
}

bool BackgroundRead::Wait(Clock::time_point deadline, const std::function<bool()> &giveUp)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (state != State::kReading)
            return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline || (giveUp && giveUp()))
            return false;
        changed.wait_until(lock, std::min(deadline, now + kLook));
    }
}

bool BackgroundRead::Reading() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return state == State::kReading;
}

Reply BackgroundRead::Take()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (state != State::kEnded)
        return {};
    state = State::kIdle;
    return std::move(reply);
}

void BackgroundRead::Abandon()
{
    abandoned = true;
}

} // namespace ostrel::tool
