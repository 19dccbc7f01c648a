// watch: every arrival and removal, with the IDs list gives them, until Ctrl-C or --seconds.
#include "Cli.h"
#include "Instruments.h"
#include "Json.h"
#include "Log.h"
#include "Output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>

namespace ostrel::tool {
namespace {

struct Change {
    bool attached;
    std::string key;
};

// Filled on the library's threads, emptied on the main thread: asking an
// arrival's ADDR? there keeps the library's scan from waiting for it.
std::mutex changesMutex;
std::condition_variable changed;
std::deque<Change> changes;
const Api *watched = nullptr;
std::atomic<bool> interrupted{false};

void OnInterrupt(int)
{
    interrupted = true;
}

void OSTREL_CALL OnChange(int deviceID, int attached)
{
    // The instrument is still in the table during its removal call.
    char key[64] = "";
    watched->vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    {
        std::lock_guard<std::mutex> lock(changesMutex);
        changes.push_back({attached != 0, key});
    }
    changed.notify_all();
}

// Every change that has come, waiting a little for the first.
std::vector<Change> NextChanges()
{
    std::unique_lock<std::mutex> lock(changesMutex);
    changed.wait_for(lock, std::chrono::milliseconds(50), [] { return !changes.empty(); });
    std::vector<Change> next(changes.begin(), changes.end());
    changes.clear();
    return next;
}

void Report(Session &session, const Change &change, const std::optional<int> &id)
{
    if (session.options.json)
        Say(JsonLine({{"time", Timestamp()},
                      {"event", change.attached ? "arrived" : "removed"},
                      {"id", id ? nlohmann::json(*id) : nlohmann::json()},
                      {"key", change.key}}));
    else
        Say(Timestamp() + (change.attached ? "  arrived  " : "  removed  ") + "ID " + ShowId(id) + "  " + change.key);
}

// The arrivals' IDs asked all at once, so that instruments that do not answer
// ADDR? cost one time-out together; then every change in its order.
void ReportAll(Session &session, const std::vector<Change> &batch, std::map<std::string, std::optional<int>> &ids)
{
    std::vector<std::string> arrived;
    for (const Change &change : batch)
        if (change.attached)
            arrived.push_back(change.key);
    const std::vector<std::optional<int>> asked = AskAddresses(session.library.api, arrived);
    size_t next = 0;
    for (const Change &change : batch) {
        const std::optional<int> id = change.attached ? asked[next++] : ids[change.key];
        if (change.attached)
            ids[change.key] = id;
        else
            ids.erase(change.key);
        Report(session, change, id);
    }
}

} // namespace

int Watch(Session &session)
{
    const Options &options = session.options;
    std::signal(SIGINT, OnInterrupt);
    watched = &session.library.api;
    const LogMark log;
    if (session.library.api.vorn_usb_event_init(options.productID, OnChange) != 0)
        return Fail(kFailed, "could not start watching (log: " + log.Last({""}) + ")");
    if (!options.json)
        Say(Timestamp() + "  watching; Ctrl-C stops");
    bool present;
    {
        std::lock_guard<std::mutex> lock(changesMutex);
        present = !changes.empty();
    }
    if (!present) {
        Fail(kOk, "no instruments found yet; watching for them");
        ExplainNothingFound(session, log.NewTexts());
    }
    std::map<std::string, std::optional<int>> ids;
    const auto start = std::chrono::steady_clock::now();
    while (!interrupted && (options.seconds <= 0 || std::chrono::steady_clock::now() - start <
                                                        std::chrono::duration<double>(options.seconds)))
        ReportAll(session, NextChanges(), ids);
    session.library.api.vorn_usb_uninit_system();
    if (!options.json)
        Say(Timestamp() + "  stopped");
    return kOk;
}

} // namespace ostrel::tool
