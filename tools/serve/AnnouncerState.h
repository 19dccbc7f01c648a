// What the announcer keeps, shared by its connection to the daemon
// (Announcer.cpp) and its entry groups (Announcements.cpp).
#pragma once

#include "Announcer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/thread-watch.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::tool::serve {

// One DNS-SD service of an entry group.
struct DnsSdService {
    const char *type;
    unsigned port;
    std::vector<std::pair<std::string, std::string>> txt;
};

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
    AvahiThreadedPoll *poll = nullptr;
    int wake[2] = {-1, -1}; // Follow's nudge to Avahi's thread

    std::mutex handOver; // what Follow hands to Avahi's thread
    std::vector<Instrument *> changed;
    bool accepting = false; // from Start until Stop
    bool stopped = false;

    // The rest on Avahi's thread alone, under its lock.
    AvahiClient *client = nullptr;
    bool connectTried = false;
    bool running = false;
    bool saidWaiting = false;
    std::map<int, Entry> instruments; // by index
    Entry page;

    State(Roster &roster, const Offered &offered) : roster(roster), offered(offered) {}

    static void OnClient(AvahiClient *client, AvahiClientState clientState, void *context);
    static void OnGroup(AvahiEntryGroup *group, AvahiEntryGroupState groupState, void *context);
    static void OnWake(AvahiWatch *watch, int fd, AvahiWatchEvent event, void *context);
    void Hand(const std::vector<Instrument *> &instruments);
    bool Open();
    void Close();
    bool Connect();
    void Lost();
    void ForEach(void (State::*step)(Entry &));
    void Reconcile(Entry &entry);
    void Reset(Entry &entry);
    void Track(Instrument &instrument);
    void Publish(Entry &entry);
    bool AddServices(Entry &entry);
    void Rename(Entry &entry);
    std::vector<DnsSdService> Services(const Entry &entry);
};

} // namespace ostrel::tool::serve
