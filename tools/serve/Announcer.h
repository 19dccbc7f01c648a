// The gateway's instruments announced on the LAN by DNS-SD over mDNS, as LAN
// instruments announce themselves, through the system's Avahi daemon: each
// instrument's services while it is plugged in, and the gateway's web page.
#pragma once

#include "Roster.h"

#include <memory>
#include <string>
#include <vector>

namespace ostrel::tool::serve {

// What the gateway offers clients on the network.
struct Offered {
    std::string listen;    // the numeric listening address
    bool vxi11 = false;    // VXI-11 devices, found through rpcbind on port 111
    unsigned rawPort = 0;  // instrument N's raw socket on rawPort + N; 0: none
    unsigned httpPort = 0; // the web page; 0: none
};

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
