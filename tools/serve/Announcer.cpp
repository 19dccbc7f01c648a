// Announcements through Avahi's client library. Avahi's own thread runs its
// callbacks with its lock held; every other call into Avahi (the roster's
// arrivals and removals) takes that lock first.
#include "Announcer.h"

#include "Network.h"
#include "Note.h"
#include "ServiceNames.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <cstring>
#include <ifaddrs.h>
#include <map>
#include <mutex>
#include <net/if.h>

namespace ostrel::tool::serve {
namespace {

constexpr uint16_t kPortmapperPort = 111; // clients ask rpcbind there for the core channel

struct Service {
    const char *type;
    unsigned port;
    std::vector<std::pair<std::string, std::string>> txt;
};

// Other hosts reach neither service of a gateway that listens on loopback.
bool Loopback(const std::string &listen)
{
    return listen.rfind("127.", 0) == 0 || listen == "::1";
}

// A gateway listening on one interface's address is announced on that
// interface alone: clients on the others would be sent to addresses it does
// not listen on.
AvahiIfIndex InterfaceOf(const std::string &listen)
{
    Network address;
    std::string error;
    if (listen == "0.0.0.0" || listen == "::" || !ParseNetwork(listen, address, error))
        return AVAHI_IF_UNSPEC;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return AVAHI_IF_UNSPEC;
    unsigned found = 0;
    for (const ifaddrs *each = all; each != nullptr && found == 0; each = each->ifa_next) {
        const int family = each->ifa_addr != nullptr ? each->ifa_addr->sa_family : AF_UNSPEC;
        if (family != AF_INET && family != AF_INET6)
            continue;
        sockaddr_storage held{};
        std::memcpy(&held, each->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (Contains(address, held))
            found = if_nametoindex(each->ifa_name);
    }
    freeifaddrs(all);
    return found != 0 ? static_cast<AvahiIfIndex>(found) : AVAHI_IF_UNSPEC;
}

// A gateway listening on IPv4 alone is announced with IPv4 addresses alone.
AvahiProtocol Protocol(const std::string &listen)
{
    if (listen == "::")
        return AVAHI_PROTO_UNSPEC;
    return listen.find(':') != std::string::npos ? AVAHI_PROTO_INET6 : AVAHI_PROTO_INET;
}

AvahiStringList *Txt(const std::vector<std::pair<std::string, std::string>> &records)
{
    AvahiStringList *list = nullptr;
    for (auto record = records.rbegin(); record != records.rend(); ++record)
        list = avahi_string_list_add_pair(list, record->first.c_str(), record->second.c_str());
    return list;
}

} // namespace

struct Announcer::State {
    // One entry group: an instrument's services, or the gateway's page.
    struct Entry {
        State *state = nullptr;
        Instrument *instrument = nullptr; // null: the gateway's page
        std::string name;                 // the instance name, kept once chosen
        AvahiEntryGroup *group = nullptr;

        std::string Label() const { return instrument != nullptr ? instrument->name : "the web page"; }
    };

    Roster &roster;
    const Offered offered;
    std::mutex lifetime; // Follow against Start and Stop
    AvahiThreadedPoll *poll = nullptr;
    // The rest under the poll's lock, once it runs.
    AvahiClient *client = nullptr;
    bool running = false;
    bool saidWaiting = false;
    std::map<int, Entry> instruments; // by index
    Entry page;

    State(Roster &roster, const Offered &offered) : roster(roster), offered(offered) {}

    static void OnClient(AvahiClient *client, AvahiClientState clientState, void *context);
    static void OnGroup(AvahiEntryGroup *group, AvahiEntryGroupState groupState, void *context);
    bool Connect();
    void Lost();
    void ForEach(void (State::*step)(Entry &));
    void Reconcile(Entry &entry);
    void Reset(Entry &entry);
    void Track(Instrument &instrument);
    void Publish(Entry &entry);
    bool AddServices(Entry &entry);
    void Rename(Entry &entry);
    std::vector<Service> Services(const Entry &entry);
};

bool Announcer::State::Connect()
{
    int error = 0;
    client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, OnClient, this, &error);
    if (client == nullptr)
        Note(std::string("mDNS: off: no D-Bus system bus to reach avahi-daemon through (") + avahi_strerror(error) +
             ")");
    return client != nullptr;
}

void Announcer::State::OnClient(AvahiClient *client, AvahiClientState clientState, void *context)
{
    State &state = *static_cast<State *>(context);
    state.client = client; // also while avahi_client_new has not returned yet
    switch (clientState) {
    case AVAHI_CLIENT_S_RUNNING:
        if (!state.running)
            Note(std::string("mDNS: announcing as host ") + avahi_client_get_host_name_fqdn(client));
        state.running = true;
        state.saidWaiting = false;
        state.ForEach(&State::Reconcile);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled; the services follow once it is.
        state.running = false;
        state.ForEach(&State::Reset);
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!state.saidWaiting)
            Note("mDNS: off until avahi-daemon runs: none on the system bus");
        state.saidWaiting = true;
        break;
    case AVAHI_CLIENT_FAILURE:
        state.Lost();
        break;
    }
}

// The daemon went away (or failed): its announcements went with it. A new
// client waits for the next daemon.
void Announcer::State::Lost()
{
    const int error = avahi_client_errno(client);
    running = false;
    avahi_client_free(client); // and its groups
    client = nullptr;
    page.group = nullptr;
    for (auto &[index, entry] : instruments)
        entry.group = nullptr;
    if (error != AVAHI_ERR_DISCONNECTED) {
        Note(std::string("mDNS: off: ") + avahi_strerror(error));
        return;
    }
    Note("mDNS: avahi-daemon has gone: announcing again when it runs");
    saidWaiting = true;
    Connect();
}

void Announcer::State::ForEach(void (State::*step)(Entry &))
{
    for (auto &[index, entry] : instruments)
        (this->*step)(entry);
    if (offered.httpPort != 0)
        (this->*step)(page);
}

void Announcer::State::Reset(Entry &entry)
{
    if (entry.group != nullptr)
        avahi_entry_group_reset(entry.group);
}

void Announcer::State::Reconcile(Entry &entry)
{
    if (!running)
        return;
    const bool wanted = entry.instrument == nullptr || entry.instrument->present;
    const bool published = entry.group != nullptr && !avahi_entry_group_is_empty(entry.group);
    if (wanted && !published) {
        Publish(entry);
    } else if (!wanted && published) {
        avahi_entry_group_reset(entry.group);
        Note("mDNS: withdrew " + entry.Label() + " '" + entry.name + "'");
    }
}

void Announcer::State::Publish(Entry &entry)
{
    if (entry.group == nullptr)
        entry.group = avahi_entry_group_new(client, OnGroup, &entry);
    if (entry.group == nullptr) {
        Note("mDNS: could not announce " + entry.Label() + ": " + avahi_strerror(avahi_client_errno(client)));
        return;
    }
    if (entry.name.empty()) {
        const std::string host = avahi_client_get_host_name(client);
        const Described gateway{.manufacturer = "Ostrel", .model = "gateway", .serial = "", .firmware = ""};
        entry.name = InstanceName(entry.instrument == nullptr
                                      ? gateway
                                      : Describe(entry.instrument->key, roster.Identity(*entry.instrument)),
                                  host);
    }
    if (AddServices(entry))
        avahi_entry_group_commit(entry.group);
}

// Two gateways, or an instrument moved between them, may offer the same name:
// Avahi's next one ("... #2") is kept from then on.
bool Announcer::State::AddServices(Entry &entry)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        int error = 0;
        for (const Service &service : Services(entry)) {
            AvahiStringList *txt = Txt(service.txt);
            error = avahi_entry_group_add_service_strlst(entry.group, InterfaceOf(offered.listen),
                                                         Protocol(offered.listen), AvahiPublishFlags(0),
                                                         entry.name.c_str(), service.type, nullptr, nullptr,
                                                         static_cast<uint16_t>(service.port), txt);
            avahi_string_list_free(txt);
            if (error < 0)
                break;
        }
        if (error == 0)
            return true;
        avahi_entry_group_reset(entry.group);
        if (error != AVAHI_ERR_COLLISION) {
            Note("mDNS: could not announce " + entry.Label() + ": " + avahi_strerror(error));
            return false;
        }
        Rename(entry);
    }
    Note("mDNS: could not announce " + entry.Label() + ": every name tried is taken");
    return false;
}

void Announcer::State::Rename(Entry &entry)
{
    char *next = avahi_alternative_service_name(entry.name.c_str());
    Note("mDNS: '" + entry.name + "' is taken: " + entry.Label() + " becomes '" + next + "'");
    entry.name = next;
    avahi_free(next);
}

std::vector<Service> Announcer::State::Services(const Entry &entry)
{
    if (entry.instrument == nullptr)
        return {{.type = "_lxi._tcp",
                 .port = offered.httpPort,
                 .txt = {{"txtvers", "1"},
                         {"Manufacturer", "Ostrel"},
                         {"Model", "ostrel serve"},
                         {"FirmwareVersion", OSTREL_VERSION}}},
                {.type = "_http._tcp", .port = offered.httpPort, .txt = {{"path", "/"}}}};
    const Instrument &instrument = *entry.instrument;
    const auto txt = TxtRecords(Describe(instrument.key, roster.Identity(instrument)), StableName(instrument.key));
    std::vector<Service> services;
    if (offered.vxi11)
        services.push_back({.type = "_vxi-11._tcp", .port = kPortmapperPort, .txt = txt});
    const unsigned raw = offered.rawPort + static_cast<unsigned>(instrument.index);
    if (offered.rawPort != 0 && raw <= 65535)
        services.push_back({.type = "_scpi-raw._tcp", .port = raw, .txt = txt});
    return services;
}

void Announcer::State::OnGroup(AvahiEntryGroup *group, AvahiEntryGroupState groupState, void *context)
{
    Entry &entry = *static_cast<Entry *>(context);
    switch (groupState) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        Note("mDNS: announced " + entry.Label() + " as '" + entry.name + "'");
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        entry.state->Rename(entry);
        avahi_entry_group_reset(group);
        if (entry.state->AddServices(entry))
            avahi_entry_group_commit(group);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        Note("mDNS: could not announce " + entry.Label() + ": " +
             avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

void Announcer::State::Track(Instrument &instrument)
{
    auto [known, added] = instruments.try_emplace(instrument.index);
    if (added) {
        known->second.state = this;
        known->second.instrument = &instrument;
    }
    Reconcile(known->second);
}

Announcer::Announcer(Roster &roster, const Offered &offered) : state(std::make_unique<State>(roster, offered))
{
    state->page.state = state.get();
}

Announcer::~Announcer()
{
    Stop();
}

void Announcer::Start(const std::vector<Instrument *> &instruments)
{
    State &s = *state;
    std::lock_guard<std::mutex> lock(s.lifetime);
    if (Loopback(s.offered.listen)) {
        Note("mDNS: off: no other host reaches " + s.offered.listen);
        return;
    }
    s.poll = avahi_threaded_poll_new();
    if (s.poll != nullptr && s.Connect()) {
        // Avahi's thread does not run yet: no lock to take.
        for (Instrument *instrument : instruments)
            s.Track(*instrument);
        if (avahi_threaded_poll_start(s.poll) == 0)
            return;
        Note("mDNS: off: Avahi's thread did not start");
        avahi_client_free(s.client);
    }
    if (s.poll != nullptr)
        avahi_threaded_poll_free(s.poll);
    s.poll = nullptr;
}

void Announcer::Follow(Instrument &instrument)
{
    std::lock_guard<std::mutex> lock(state->lifetime);
    if (state->poll == nullptr)
        return;
    avahi_threaded_poll_lock(state->poll);
    state->Track(instrument);
    avahi_threaded_poll_unlock(state->poll);
}

void Announcer::Stop()
{
    State &s = *state;
    std::lock_guard<std::mutex> lock(s.lifetime);
    if (s.poll == nullptr)
        return;
    avahi_threaded_poll_stop(s.poll);
    // Freeing the client withdraws its groups: the daemon says goodbye for them.
    if (s.client != nullptr)
        avahi_client_free(s.client);
    avahi_threaded_poll_free(s.poll);
    s.poll = nullptr;
    s.client = nullptr;
    if (s.running)
        Note("mDNS: withdrew every announcement");
    s.running = false;
}

} // namespace ostrel::tool::serve
