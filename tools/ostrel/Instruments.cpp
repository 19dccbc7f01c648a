// The tool's view of the instruments through the public API: discovery, IDs from ADDR?, names, the table.
#include "Instruments.h"

#include "Json.h"
#include "Log.h"
#include "Output.h"
#include "Transfer.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace ostrel::tool {
namespace {

// "id,identity;" per instrument, in key order.
std::vector<std::string> Identities(const Api &api, int count)
{
    std::vector<std::string> identities;
    std::string info(static_cast<size_t>(count) * 64 + 1, '\0');
    if (count == 0 || api.vorn_usb_get_device_info(&info[0]) != 0)
        return identities;
    info.resize(info.find('\0'));
    for (size_t at = 0; at < info.size();) {
        const size_t comma = info.find(',', at);
        const size_t end = info.find(';', comma == std::string::npos ? at : comma);
        if (comma == std::string::npos || end == std::string::npos)
            break;
        identities.push_back(info.substr(comma + 1, end - comma - 1));
        at = end + 1;
    }
    return identities;
}

// The scan numbers every instrument it examines, in order, also one it then
// leaves out: the numbers the table lacks below its highest are those.
int LeftOut(const std::vector<Row> &rows)
{
    int highest = -1;
    for (const Row &row : rows)
        highest = std::max(highest, row.number);
    return highest + 1 - static_cast<int>(rows.size());
}

// What the askers of one search for IDs have heard; shared with them, as
// the search may end before the slowest of them.
struct Answers {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<int>> ids;
    size_t pending = 0;
};

// Askers still waiting for a reply when their search had found its
// instrument; FinishAsking joins them.
std::mutex lateMutex;
std::vector<std::thread> lateAskers;

// Every instrument of `keys` is asked for its ID at once, so the instruments
// that do not answer cost one time-out together, not one each. The search
// ends when all have answered (`all`), or as soon as one gives `wanted`: an
// instrument that does not answer ADDR? then costs a command on another no time.
std::vector<std::optional<int>> Ask(const Api &api, const std::vector<std::string> &keys,
                                    std::optional<long> wanted, bool &all)
{
    auto answers = std::make_shared<Answers>();
    answers->ids.resize(keys.size());
    answers->pending = keys.size();
    std::vector<std::thread> askers;
    for (size_t i = 0; i < keys.size(); ++i)
        askers.emplace_back([&api, key = keys[i], answers, i] {
            const std::optional<int> id = AskAddress(api, key);
            std::lock_guard<std::mutex> lock(answers->mutex);
            answers->ids[i] = id;
            --answers->pending;
            answers->changed.notify_all();
        });
    std::unique_lock<std::mutex> lock(answers->mutex);
    answers->changed.wait(lock, [&] {
        return answers->pending == 0 ||
               (wanted && std::any_of(answers->ids.begin(), answers->ids.end(),
                                      [&wanted](const std::optional<int> &id) { return id == *wanted; }));
    });
    const std::vector<std::optional<int>> ids = answers->ids;
    all = answers->pending == 0;
    lock.unlock();
    std::lock_guard<std::mutex> late(lateMutex);
    for (std::thread &asker : askers)
        if (all)
            asker.join();
        else
            lateAskers.push_back(std::move(asker));
    return ids;
}

// The rows' IDs, from a search as Ask makes it.
void AskFor(const Api &api, Discovery &found, std::optional<long> wanted)
{
    std::vector<std::string> keys;
    for (const Row &row : found.rows)
        keys.push_back(row.key);
    const std::vector<std::optional<int>> ids = Ask(api, keys, wanted, found.addressesAsked);
    for (size_t i = 0; i < ids.size(); ++i)
        found.rows[i].id = ids[i];
}

nlohmann::json RowJson(const Row &row)
{
    return {{"key", row.key},
            {"id", row.id ? nlohmann::json(*row.id) : nlohmann::json(nullptr)},
            {"model", row.model},
            {"serial", row.serial},
            {"identity", row.identity}};
}

} // namespace

std::vector<Row> CurrentRows(const Api &api)
{
    std::vector<Row> rows;
    const int count = api.vorn_usb_GetDeviceCount();
    if (count <= 0)
        return rows;
    std::vector<std::vector<char>> keyStore(count, std::vector<char>(64));
    std::vector<char *> keys;
    for (auto &key : keyStore)
        keys.push_back(key.data());
    std::vector<int> ids(count), models(count), serials(count);
    int listed = 0;
    const int keyCount = api.vorn_usb_GetDeviceKeys(keys.data());
    if (api.GetInstrumentList(ids.data(), models.data(), serials.data(), &listed) != 0)
        return rows;
    const std::vector<std::string> identities = Identities(api, count);
    for (int i = 0; i < listed && i < keyCount && i < count; ++i) {
        Row row;
        row.key = keys[i];
        row.model = models[i];
        row.serial = serials[i];
        row.identity = i < static_cast<int>(identities.size()) ? identities[i] : "";
        row.number = ids[i];
        rows.push_back(row);
    }
    return rows;
}

Discovery Discover(Session &session, bool askAddresses)
{
    const Api &api = session.library.api;
    const LogMark log;
    // Numbered, so that none is dropped for want of an ADDR? reply.
    int count = 0;
    api.vorn_usb_open_devices(session.options.productID, false, &count);
    Discovery found{CurrentRows(api), log.NewTexts()};
    found.leftOut = LeftOut(found.rows);
    if (askAddresses)
        AskFor(api, found, std::nullopt);
    return found;
}

std::optional<int> AskAddress(const Api &api, const std::string &key)
{
    const ReadRule rule;
    if (!SendCommand(api, key, "ADDR?", false))
        return std::nullopt;
    const Reply reply = ReadReply(api, key, rule);
    if (reply.outcome != Reply::kComplete)
        return std::nullopt;
    // As atoi reads it, clamped: the library's own reading of ADDR?.
    const long id = std::strtol(ReplyText(reply).c_str(), nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, id)));
}

std::vector<std::optional<int>> AskAddresses(const Api &api, const std::vector<std::string> &keys)
{
    bool all = false;
    return Ask(api, keys, std::nullopt, all);
}

const Row *Resolve(Session &session, Discovery &found, const std::string &name, std::string &error)
{
    for (const Row &row : found.rows)
        if (row.key == name)
            return &row;
    char *end = nullptr;
    const long id = std::strtol(name.c_str(), &end, 10);
    const bool number = !name.empty() && *end == '\0';
    // An instrument that has not answered by the time another gave the ID is
    // not compared: a shared ID shows only among those that answered.
    if (number && !found.addressesAsked)
        AskFor(session.library.api, found, id);
    std::vector<const Row *> matches;
    std::string known;
    for (const Row &row : found.rows) {
        if (number && row.id == id)
            matches.push_back(&row);
        known += (known.empty() ? "" : ", ") + ShowId(row.id) + " \"" + row.key + "\"";
    }
    if (matches.size() == 1)
        return matches[0];
    if (matches.size() > 1)
        error = "ID " + name + " is shared by \"" + matches[0]->key + "\" and \"" + matches[1]->key +
                "\": name the instrument by its key";
    else
        error = "no instrument '" + Shorten(name) + "' (found: " + known + ")";
    return nullptr;
}

void FinishAsking()
{
    std::vector<std::thread> ending;
    {
        std::lock_guard<std::mutex> lock(lateMutex);
        ending.swap(lateAskers);
    }
    for (std::thread &asker : ending)
        asker.join();
}

std::string ShowId(const std::optional<int> &id)
{
    return id ? std::to_string(*id) : "-";
}

std::string LeftOut(int leftOut)
{
    return std::to_string(leftOut) + (leftOut == 1 ? " instrument was" : " instruments were") +
           " found but left out: each answered with the key of an instrument listed, or did not answer *IDN? (give "
           "each instrument a serial number of its own: the library keeps one per key)";
}

void ShowRows(const Discovery &found, bool json, const std::string &indent)
{
    const std::vector<Row> &rows = found.rows;
    if (found.leftOut > 0)
        Fail(kOk, LeftOut(found.leftOut));
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const Row &row : rows)
            list.push_back(RowJson(row));
        Say(JsonLine(list));
        return;
    }
    char line[512];
    std::snprintf(line, sizeof line, "%s%4s  %-24s %7s %9s  %s", indent.c_str(), "ID", "KEY", "MODEL", "SERIAL",
                  "IDENTITY");
    Say(line);
    bool unnamed = false;
    for (const Row &row : rows) {
        std::snprintf(line, sizeof line, "%s%4s  %-24s %7d %9d  %s", indent.c_str(), ShowId(row.id).c_str(),
                      row.key.c_str(), row.model, row.serial, row.identity.c_str());
        Say(line);
        unnamed = unnamed || !row.id;
    }
    if (unnamed)
        Say(indent + "   -  answered *IDN? but not ADDR?: name it by its key");
}

} // namespace ostrel::tool
