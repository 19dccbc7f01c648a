// The instruments a gateway serves, by name, kept up to date by event mode.
#include "Roster.h"

#include "../ostrel/Instruments.h"
#include "../ostrel/Log.h"
#include "Note.h"

#include <algorithm>
#include <cctype>

namespace ostrel::tool::serve {
namespace {

// The library's callback carries no context: the one roster of the process.
std::atomic<Roster *> current{nullptr};

// Device names as a client writes them: "INST0" is inst0.
bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// What the library's table holds for the instrument: its identification at
// arrival, read without asking the instrument again.
std::string TableIdentity(const Api &api, const std::string &key)
{
    for (const Row &row : CurrentRows(api))
        if (row.key == key)
            return row.identity;
    return "";
}

} // namespace

Roster::Roster(const Api &api, unsigned productID) : api(api), productID(productID)
{
    current = this;
}

Roster::~Roster()
{
    current = nullptr;
}

void OSTREL_CALL Roster::OnChange(int deviceID, int attached)
{
    Roster *roster = current;
    if (roster == nullptr)
        return;
    // The instrument is still in the table during its removal call.
    char key[64] = "";
    roster->api.vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    if (*key == '\0')
        return;
    if (attached != 0)
        roster->Arrived(key);
    else
        roster->Removed(key);
}

bool Roster::Start(std::string &error)
{
    const LogMark log;
    if (api.vorn_usb_event_init(productID, OnChange) != 0) {
        error = "could not start watching the instruments (log: " + log.Last({""}) + ")";
        return false;
    }
    const std::vector<Row> rows = CurrentRows(api);
    std::lock_guard<std::mutex> lock(mutex);
    std::map<std::string, std::string> found; // key -> identity, in key order
    for (const std::string &key : early)
        found[key];
    for (const Row &row : rows)
        found[row.key] = row.identity;
    for (const auto &[key, identity] : found) {
        Instrument &instrument = Name(key);
        instrument.identity = identity;
        instrument.present = true;
    }
    started = true;
    return true;
}

Instrument &Roster::Name(const std::string &key)
{
    Instrument &instrument = instruments.emplace_back();
    instrument.index = static_cast<int>(instruments.size()) - 1;
    instrument.name = "inst" + std::to_string(instrument.index);
    instrument.key = key;
    instrument.reader = std::make_unique<BackgroundRead>(api, key);
    byKey[key] = &instrument;
    return instrument;
}

void Roster::Arrived(const std::string &key)
{
    const std::string identity = TableIdentity(api, key);
    Instrument *arrived = nullptr;
    Instrument *named = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!started) {
            early.insert(key);
            return;
        }
        auto known = byKey.find(key);
        Instrument &instrument = known != byKey.end() ? *known->second : Name(key);
        ++instrument.arrivals;
        instrument.present = true;
        if (!identity.empty())
            instrument.identity = identity;
        Note("arrived " + instrument.name + " " + key);
        if (known == byKey.end())
            named = &instrument;
        arrived = &instrument;
    }
    if (named != nullptr && onNamed)
        onNamed(*named);
    if (onPresence)
        onPresence(*arrived);
}

void Roster::Removed(const std::string &key)
{
    Instrument *removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        early.erase(key);
        auto known = byKey.find(key);
        if (known == byKey.end())
            return;
        removed = known->second;
        removed->present = false;
        Note("removed " + removed->name + " " + key);
    }
    if (onPresence)
        onPresence(*removed);
}

std::string Roster::Identity(const Instrument &instrument)
{
    std::lock_guard<std::mutex> lock(mutex);
    return instrument.identity;
}

std::string StableName(const std::string &key)
{
    std::string name = key;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

unsigned RawPort(unsigned first, const Instrument &instrument)
{
    return first + static_cast<unsigned>(instrument.index);
}

Instrument *Roster::Find(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (Instrument &instrument : instruments)
        if (SameName(instrument.name, name) || SameName(StableName(instrument.key), name))
            return &instrument;
    return nullptr;
}

std::vector<Instrument *> Roster::All()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Instrument *> all;
    for (Instrument &instrument : instruments)
        all.push_back(&instrument);
    return all;
}

} // namespace ostrel::tool::serve
