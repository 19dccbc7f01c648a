// The instruments as a LAN gateway serves them: links to them, their locks, and
// each request carried out on the instrument in the protocol's terms (error
// codes, reasons), whichever channel it came on.
#pragma once

#include "../ostrel/Library.h"
#include "Expiry.h"
#include "Metrics.h"
#include "Roster.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::tool::serve {

// The longest message a link gathers before it goes to the instrument, and
// the most one read hands back.
constexpr unsigned kMessageMax = 1u << 20;

// How a request may wait: for the instrument's lock (with Flags::kWaitLock) and for its reply.
struct Waits {
    unsigned lockMs = 0;
    unsigned ioMs = 0;
    bool waitLock = false;
};

// What a read hands back.
struct ReadResult {
    int error = 0;
    int reason = 0; // kReasonRequestCount | kReasonChar | kReasonEnd
    std::string data;
};

// Error codes and read reasons of the protocol.
enum : int {
    kErrNone = 0,
    kErrNotAccessible = 3,
    kErrInvalidLink = 4,
    kErrParameter = 5,
    kErrNotSupported = 8,
    kErrOutOfResources = 9,
    kErrLocked = 11,
    kErrNoLock = 12,
    kErrIoTimeout = 15,
    kErrIo = 17,
    kErrInvalidAddress = 21,
    kErrAbort = 23,
};
enum : int { kReasonRequestCount = 1, kReasonChar = 2, kReasonEnd = 4 };

// Who asks: the peer's address and connection, for limits and log lines.
struct Client {
    std::string address; // "127.0.0.1"
    std::string peer;    // "127.0.0.1:41234"
    long connection = 0;
    std::function<bool()> gone; // the client has closed its connection
    Expiry *expiry = nullptr;   // the connection's, where it has one
};

// An instrument as the status page shows it.
struct InstrumentState {
    Instrument *instrument = nullptr; // name, key, identity and presence
    size_t links = 0;
    std::string lockHolder; // the client's address; "": not locked
    std::chrono::system_clock::time_point lockedSince;
};

class Gateway {
public:
    Gateway(const Api &api, Roster &roster, unsigned maxLinks, unsigned clientLinks, Metrics &metrics);
    ~Gateway();

    // 0 and the new link's ID, or an error code.
    int CreateLink(const std::string &device, const Client &client, bool lock, unsigned lockMs, long &link);
    int DestroyLink(const Client &client, long link);
    // Every link of a connection that has closed: their locks are released.
    // `why` (the connection idled out) is said for each lock released for it.
    void DestroyLinksOf(long connection, const std::string &why = "");
    // Links made from this address, on whichever connection.
    size_t LinksFrom(const std::string &address) const;

    // Data accumulate per link until `end`; then they go to the instrument as one message.
    // The links of a client are valid only on the connection that made them
    // (the abort channel: from the same address).
    int Write(const Client &client, long link, const Waits &waits, bool end, const std::string &data);
    // termChar < 0: none.
    ReadResult Read(const Client &client, long link, const Waits &waits, unsigned requestSize, int termChar);
    // These instruments have no status byte apart from their reply stream: not supported.
    int ReadStatusByte(const Client &client, long link);
    int Trigger(const Client &client, long link, const Waits &waits);
    int Clear(const Client &client, long link, const Waits &waits);
    // Remote and local: USB instruments have no remote enable; only the link and the lock are checked.
    int CheckAccess(const Client &client, long link, const Waits &waits);
    int Lock(const Client &client, long link, const Waits &waits);
    int Unlock(const Client &client, long link);
    // The request under way on the link ends at once with kErrAbort.
    int Abort(const Client &client, long link);

    // From now on requests end at once and nothing new starts.
    void Stop();
    size_t Links() const;
    // Every instrument with its links and lock, as one moment saw them.
    std::vector<InstrumentState> Snapshot() const;

private:
    struct Link;

    using Clock = std::chrono::steady_clock;

    Link *Find(const Client &client, long link, bool sameConnection = true);
    // LinksFrom with `mutex` held.
    size_t CountLinksFrom(const std::string &address) const;
    bool GivesUp(const Link &link) const;
    void WaitAWhile(Instrument &instrument, std::unique_lock<std::mutex> &lock, Clock::time_point until);
    int WaitForLock(Link &link, const Waits &waits, std::unique_lock<std::mutex> &lock);
    int Enter(const Client &client, long id, const Waits &waits, Clock::time_point deadline, Link *&link);
    void Leave(Instrument &instrument);
    int Send(Instrument &instrument, const std::string &message);
    bool Collect(Instrument &instrument);
    int Fill(Link &link, Instrument &instrument, Clock::time_point deadline);
    void Drop(Instrument &instrument);
    void Release(Link &link);
    void Count(const Link *link, int error);

    const Api &api;
    Roster &roster;
    const unsigned maxLinks;
    const unsigned clientLinks;
    Metrics &metrics;
    mutable std::mutex mutex;
    std::map<long, std::unique_ptr<Link>> links;
    long nextLink = 1;
    std::atomic<bool> stopping{false};
};

} // namespace ostrel::tool::serve
