// The gateway's instruments announced on the LAN by DNS-SD over mDNS, as LAN
// instruments announce themselves, through the system's Avahi daemon: each
// instrument's services while it is plugged in, and the gateway's web page.
#pragma once

#include "Network.h"
#include "Roster.h"

#include <memory>
#include <string>
#include <vector>

namespace ostrel::tool::serve {

class Announcer {
public:
    Announcer(Roster &roster, const Offered &offered);
    ~Announcer();
    Announcer(const Announcer &) = delete;
    Announcer &operator=(const Announcer &) = delete;

    // Announces these instruments (those present) and the web page; says in
    // one line when it cannot, and serve goes on without.
    void Start(const std::vector<Instrument *> &instruments);
    // The instrument arrived or went (from the library's thread): its
    // services follow. Nothing before Start or after Stop.
    void Follow(Instrument &instrument);
    // Withdraws every announcement, waiting 2 s at most.
    void Stop();

private:
    struct State;
    std::shared_ptr<State> state; // outlives a stop that gave up waiting on Avahi
};

} // namespace ostrel::tool::serve
