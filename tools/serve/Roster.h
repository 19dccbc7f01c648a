// The instruments a gateway serves, by name: inst0, inst1, ... in key order at
// start, then in order of arrival; event mode keeps each one's presence, and
// an instrument plugged back keeps its name.
#pragma once

#include "../ostrel/BackgroundRead.h"
#include "../ostrel/Library.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ostrel::tool::serve {

struct Instrument {
    std::string name; // "inst0"
    std::string key;
    std::string identity;          // its *IDN? reply; guarded by the roster: read it through Identity
    int index = 0;                 // the N of instN
    std::atomic<bool> present{false};
    std::atomic<unsigned> arrivals{0};

    // Guarded by the gateway's mutex.
    bool busy = false;             // a request is under way on it
    long lockedBy = 0;             // the link that holds its lock; 0: none
    std::string pending;           // bytes read that no read has handed on yet
    bool pendingEnds = false;      // `pending` holds the end of a reply
    unsigned pendingArrival = 0;   // the arrival `pending` was read in
    bool discard = false;          // what the read under way brings was cleared
    std::unique_ptr<BackgroundRead> reader; // outlives the request that started it
    std::condition_variable changed; // busy or lockedBy changed
};

class Roster {
public:
    Roster(const Api &api, unsigned productID);
    ~Roster();
    Roster(const Roster &) = delete;
    Roster &operator=(const Roster &) = delete;

    // Event mode on, and the instruments present named in key order. False
    // with the log's reason in `error`.
    bool Start(std::string &error);

    // By `instN` or by its stable name, without regard to case; null for a
    // name that is not one of ours.
    Instrument *Find(const std::string &name);
    std::vector<Instrument *> All();

    // Its *IDN? reply as the library's table had it at start or at its
    // arrival; empty when the table had none.
    std::string Identity(const Instrument &instrument);

    // Told of every instrument named after Start (from the library's thread).
    std::function<void(Instrument &)> onNamed;
    // Told of every arrival and removal after Start (from the library's
    // thread, after onNamed): `present` says which.
    std::function<void(Instrument &)> onPresence;

private:
    static void OSTREL_CALL OnChange(int deviceID, int attached);
    void Arrived(const std::string &key);
    void Removed(const std::string &key);
    Instrument &Name(const std::string &key);

    const Api &api;
    const unsigned productID;
    std::mutex mutex;
    std::deque<Instrument> instruments; // never moved: links point at them
    std::map<std::string, Instrument *> byKey;
    std::set<std::string> early; // arrived before Start named anything
    bool started = false;
};

// The name an instrument keeps across restarts and plug orders: its device
// key with blanks as underscores ("2936-R_SN12345").
std::string StableName(const std::string &key);

// instN's raw socket: the first raw port plus N (past 65535 when none is left).
unsigned RawPort(unsigned first, const Instrument &instrument);

} // namespace ostrel::tool::serve
