// Refusal lines counted per address and second.
#include "Refusals.h"

#include "Note.h"

#include <chrono>
#include <map>
#include <mutex>

namespace ostrel::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSecond = std::chrono::seconds(1);

struct Held {
    Clock::time_point since; // the last line written for the address
    unsigned count = 0;
};

std::mutex mutex;
std::map<std::string, Held> held;

void SayHeld(const std::string &address, const Held &entry)
{
    if (entry.count > 0)
        Note("refused " + std::to_string(entry.count) + " more from " + address +
             " (one line a second per address)");
}

} // namespace

void NoteRefusal(const std::string &address, const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    const auto found = held.find(address);
    if (found != held.end() && now - found->second.since < kSecond) {
        ++found->second.count;
        return;
    }
    if (found != held.end())
        SayHeld(address, found->second);
    held[address] = {now, 0};
    Note(text);
}

void NoteHeldRefusals()
{
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    for (auto entry = held.begin(); entry != held.end();) {
        if (now - entry->second.since < kSecond) {
            ++entry;
            continue;
        }
        SayHeld(entry->first, entry->second);
        entry = held.erase(entry);
    }
}

} // namespace ostrel::tool::serve
