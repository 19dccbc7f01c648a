// Each instrument's entry group: its services and records while it is
// plugged in, withdrawn when it goes, renamed when its name is taken; and the
// gateway's web page. All on Avahi's thread, under its lock.
#include "AnnouncerState.h"
#include "Network.h"
#include "Note.h"
#include "ServiceNames.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>

namespace ostrel::tool::serve {
namespace {

constexpr uint16_t kPortmapperPort = 111; // clients ask rpcbind there for the core channel

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
        const Described gateway{.manufacturer = kGatewayMaker, .model = "gateway", .serial = "", .firmware = ""};
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
        for (const DnsSdService &service : Services(entry)) {
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

std::vector<DnsSdService> Announcer::State::Services(const Entry &entry)
{
    if (entry.instrument == nullptr)
        return {{.type = "_lxi._tcp",
                 .port = offered.httpPort,
                 .txt = {{"txtvers", "1"},
                         {"Manufacturer", kGatewayMaker},
                         {"Model", kGatewayModel},
                         {"FirmwareVersion", OSTREL_VERSION}}},
                {.type = "_http._tcp", .port = offered.httpPort, .txt = {{"path", "/"}}}};
    const Instrument &instrument = *entry.instrument;
    const auto txt = TxtRecords(Describe(instrument.key, roster.Identity(instrument)), StableName(instrument.key));
    std::vector<DnsSdService> services;
    if (offered.vxi11)
        services.push_back({.type = "_vxi-11._tcp", .port = kPortmapperPort, .txt = txt});
    const unsigned raw = RawPort(offered.rawPort, instrument);
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

} // namespace ostrel::tool::serve
