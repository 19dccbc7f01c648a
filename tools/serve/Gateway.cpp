// Links to the instruments, their locks, and each request carried out on the
// instrument: one request at a time per instrument, instruments in parallel.
#include "Gateway.h"

#include "../ostrel/Transfer.h"
#include "Messages.h"
#include "Note.h"
#include "Refusals.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace ostrel::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting request looks whether its client has gone or aborted it.
constexpr auto kLook = std::chrono::milliseconds(10);
// How long a reply is read ahead of the read call that is to take it: one of the library's reads.
constexpr unsigned kReadAhead = 1000;
// How long a message written after a clear waits for the clear's leftover read:
// a reply already on its way arrives within it.
constexpr auto kClearGrace = std::chrono::milliseconds(100);

Clock::time_point After(unsigned ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

struct Gateway::Link {
    long id = 0;
    Instrument *instrument = nullptr;
    Client client;
    MessageGatherer message{kMessageMax, true}; // written so far, until it ends
    std::atomic<bool> aborted{false};
    std::chrono::system_clock::time_point lockedSince; // while it holds its instrument's lock
};

Gateway::Gateway(const Api &api, Roster &roster, unsigned maxLinks, unsigned clientLinks, Metrics &metrics)
    : api(api), roster(roster), maxLinks(maxLinks), clientLinks(clientLinks), metrics(metrics)
{
}

Gateway::~Gateway() = default;

Gateway::Link *Gateway::Find(const Client &client, long id, bool sameConnection)
{
    auto found = links.find(id);
    if (found == links.end())
        return nullptr;
    const Client &owner = found->second->client;
    const bool mine = sameConnection ? owner.connection == client.connection : owner.address == client.address;
    return mine ? found->second.get() : nullptr;
}

int Gateway::CreateLink(const std::string &device, const Client &client, bool lock, unsigned lockMs, long &id)
{
    Instrument *instrument = roster.Find(device);
    if (instrument == nullptr)
        return kErrInvalidAddress;
    if (!instrument->present)
        return kErrNotAccessible;
    std::unique_lock<std::mutex> guard(mutex);
    const size_t ofClient = CountLinksFrom(client.address);
    if (links.size() >= maxLinks || ofClient >= clientLinks) {
        const std::string bound = links.size() >= maxLinks
                                      ? std::to_string(maxLinks) + " links in all (--max-links)"
                                      : std::to_string(clientLinks) + " links of this client (--client-links)";
        NoteRefusal(client.address, "refused link to " + device + " for " + client.peer + ": " + bound);
        return kErrOutOfResources;
    }
    auto link = std::make_unique<Link>();
    link->id = nextLink++;
    link->instrument = instrument;
    link->client = client;
    if (lock) {
        if (int error = WaitForLock(*link, {.lockMs = lockMs, .ioMs = 0, .waitLock = true}, guard))
            return error;
    }
    id = link->id;
    Note("link " + std::to_string(id) + " to " + device + " for " + client.peer);
    if (lock)
        Note("lock " + device + " by link " + std::to_string(id) + " of " + client.peer);
    links[id] = std::move(link);
    return kErrNone;
}

int Gateway::DestroyLink(const Client &client, long id)
{
    std::lock_guard<std::mutex> guard(mutex);
    Link *link = Find(client, id);
    if (link == nullptr)
        return kErrInvalidLink;
    Release(*link);
    links.erase(id);
    return kErrNone;
}

void Gateway::DestroyLinksOf(long connection, const std::string &why)
{
    std::lock_guard<std::mutex> guard(mutex);
    for (auto link = links.begin(); link != links.end();) {
        if (link->second->client.connection != connection) {
            ++link;
            continue;
        }
        const Link &closed = *link->second;
        if (!why.empty() && closed.instrument->lockedBy == closed.id)
            Note("link " + std::to_string(closed.id) + " of " + closed.client.peer + " " + why +
                 ": closed, its lock on " + closed.instrument->name + " released");
        Release(*link->second);
        link = links.erase(link);
    }
}

bool Gateway::GivesUp(const Link &link) const
{
    return stopping || link.aborted || (link.client.gone && link.client.gone());
}

// A wait on the instrument's changes cut into slices, so that a request whose
// client has gone or aborted it stops waiting.
void Gateway::WaitAWhile(Instrument &instrument, std::unique_lock<std::mutex> &guard, Clock::time_point until)
{
    instrument.changed.wait_until(guard, std::min(until, Clock::now() + kLook));
}

void Gateway::Release(Link &link)
{
    Instrument &instrument = *link.instrument;
    if (instrument.lockedBy != link.id)
        return;
    instrument.lockedBy = 0;
    instrument.changed.notify_all();
    Note("unlock " + instrument.name + " by link " + std::to_string(link.id) + " of " + link.client.peer);
}

// Waits, if the request may, until no other link holds the instrument's lock.
int Gateway::WaitForLock(Link &link, const Waits &waits, std::unique_lock<std::mutex> &guard)
{
    Instrument &instrument = *link.instrument;
    const Clock::time_point deadline = After(waits.lockMs);
    while (instrument.lockedBy != 0 && instrument.lockedBy != link.id && !GivesUp(link) && waits.waitLock &&
           Clock::now() < deadline)
        WaitAWhile(instrument, guard, deadline);
    if (stopping)
        return kErrIo;
    if (GivesUp(link))
        return kErrAbort;
    if (instrument.lockedBy != 0 && instrument.lockedBy != link.id)
        return kErrLocked;
    if (instrument.lockedBy != link.id)
        link.lockedSince = std::chrono::system_clock::now();
    instrument.lockedBy = link.id;
    return kErrNone;
}

// The instrument for one request: free of other links' locks and of other
// requests, and present. Leave() hands it on.
// `deadline` bounds the wait for other requests, and with it the whole request.
int Gateway::Enter(const Client &client, long id, const Waits &waits, Clock::time_point deadline, Link *&link)
{
    std::unique_lock<std::mutex> guard(mutex);
    link = Find(client, id);
    if (link == nullptr)
        return kErrInvalidLink;
    Instrument &instrument = *link->instrument;
    link->aborted = false;
    const Clock::time_point lockDeadline = After(waits.lockMs);
    for (;;) {
        if (stopping)
            return kErrIo;
        if (GivesUp(*link))
            return kErrAbort;
        const Clock::time_point now = Clock::now();
        if (instrument.lockedBy != 0 && instrument.lockedBy != id) {
            if (!waits.waitLock || now >= lockDeadline)
                return kErrLocked;
            WaitAWhile(instrument, guard, lockDeadline);
            continue;
        }
        if (!instrument.busy)
            break;
        if (now >= deadline)
            return kErrIoTimeout;
        WaitAWhile(instrument, guard, deadline);
    }
    if (!instrument.present)
        return kErrIo;
    instrument.busy = true;
    // A reply read before the instrument was unplugged is not the new one's,
    // nor is one its reader read ahead.
    if (instrument.pendingArrival != instrument.arrivals) {
        Drop(instrument);
        instrument.discard = true;
        instrument.pendingArrival = instrument.arrivals;
    }
    return kErrNone;
}

void Gateway::Leave(Instrument &instrument)
{
    std::lock_guard<std::mutex> guard(mutex);
    instrument.busy = false;
    instrument.changed.notify_all();
}

void Gateway::Drop(Instrument &instrument)
{
    instrument.pending.clear();
    instrument.pendingEnds = false;
}

// What a read that has ended brought joins the pending reply, unless a clear
// came after it started; true if that read failed (not for want of a reply).
bool Gateway::Collect(Instrument &instrument)
{
    if (instrument.reader->Reading())
        return false;
    const Reply reply = instrument.reader->Take();
    const bool kept = !instrument.discard;
    instrument.discard = false;
    if (!kept)
        return false;
    instrument.pending += reply.bytes;
    instrument.pendingEnds = instrument.pendingEnds || reply.outcome == Reply::kComplete;
    return reply.outcome == Reply::kFailed && !stopping;
}

int Gateway::Send(Instrument &instrument, const std::string &message)
{
    std::string bytes = message;
    bytes.push_back('\0'); // a valid buffer also for an empty message
    const unsigned length = static_cast<unsigned>(message.size());
    return api.vorn_usb_write_binary_by_key(instrument.key.c_str(), &bytes[0], length) == 0 ? kErrNone : kErrIo;
}

int Gateway::Write(const Client &client, long id, const Waits &waits, bool end, const std::string &data)
{
    Link *link = nullptr;
    if (int error = Enter(client, id, waits, After(waits.ioMs), link)) {
        Count(link, error);
        return error;
    }
    Instrument &instrument = *link->instrument;
    // A clear's leftover read gets a moment to end, so that an old reply it is
    // taking in is dropped; what it brings after that may answer this message.
    if (instrument.discard && instrument.reader->Reading()) {
        instrument.reader->Wait(std::min(After(waits.ioMs), Clock::now() + kClearGrace));
        Collect(instrument); // dropped, if it has ended
        if (instrument.reader->Reading()) {
            instrument.reader->Abandon();
            instrument.discard = false;
        }
    }
    // The instrument gets whole messages only, each as it ends: one longer than the bound is refused, never split.
    const int error = link->message.Add(data.data(), data.size(), end, [&](const std::string &message, bool asks) {
        const int sent = Send(instrument, message);
        if (sent == kErrNone && asks)
            metrics.Asked(instrument.name);
        // The reply is read while the client's read call is still on its way.
        if (sent == kErrNone && asks && !instrument.discard && !instrument.reader->Reading())
            instrument.reader->Start({.binary = true, .bytes = 0, .timeoutMs = kReadAhead, .abandon = nullptr});
        return sent;
    });
    Leave(instrument);
    const int result = error == MessageGatherer::kOverBound ? kErrParameter : error;
    Count(link, result);
    return result;
}

// Reads until `pending` holds a reply's end, or the request's time is up. The
// read goes on in the background past the deadline, and what it brings stays
// the instrument's pending reply. A reply is bytes: it ends where the
// instrument's transfer ends, never at a line end that happens to close a chunk.
int Gateway::Fill(Link &link, Instrument &instrument, Clock::time_point deadline)
{
    for (;;) {
        const bool failed = Collect(instrument);
        if (instrument.pendingEnds)
            return kErrNone;
        if (stopping || failed)
            return kErrIo;
        if (GivesUp(link)) {
            instrument.reader->Abandon();
            return kErrAbort;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return kErrIoTimeout;
        instrument.reader->Start(
            {.binary = true, .bytes = 0, .timeoutMs = static_cast<unsigned>(left), .abandon = nullptr});
        instrument.reader->Wait(deadline, [&] { return GivesUp(link); });
    }
}

ReadResult Gateway::Read(const Client &client, long id, const Waits &waits, unsigned requestSize, int termChar)
{
    ReadResult result;
    Link *link = nullptr;
    const Clock::time_point deadline = After(waits.ioMs);
    if ((result.error = Enter(client, id, waits, deadline, link))) {
        Count(link, result.error);
        return result;
    }
    Instrument &instrument = *link->instrument;
    requestSize = std::min(requestSize, kMessageMax);
    const auto charAt = [&] { return termChar < 0 ? std::string::npos : instrument.pending.find(char(termChar)); };
    if (!instrument.pendingEnds && instrument.pending.size() < requestSize && charAt() == std::string::npos)
        result.error = Fill(*link, instrument, deadline);
    if (result.error == kErrNone) {
        size_t count = std::min<size_t>(requestSize, instrument.pending.size());
        const size_t at = charAt();
        if (at != std::string::npos && at < count) {
            count = at + 1;
            result.reason |= kReasonChar;
        }
        if (count == requestSize)
            result.reason |= kReasonRequestCount;
        if (count == instrument.pending.size() && instrument.pendingEnds) {
            result.reason |= kReasonEnd;
            instrument.pendingEnds = false;
        }
        result.data = instrument.pending.substr(0, count);
        instrument.pending.erase(0, count);
    }
    Leave(instrument);
    Count(link, result.error);
    if ((result.reason & kReasonEnd) != 0)
        metrics.Answered(instrument.name);
    return result;
}

// A write's or read's outcome in the instrument's counts; a request on no link has no instrument.
void Gateway::Count(const Link *link, int error)
{
    if (link == nullptr || error == kErrNone)
        return;
    if (error == kErrIoTimeout)
        metrics.TimedOut(link->instrument->name);
    else
        metrics.Failed(link->instrument->name);
}

int Gateway::ReadStatusByte(const Client &client, long id)
{
    std::lock_guard<std::mutex> guard(mutex);
    return Find(client, id) == nullptr ? kErrInvalidLink : kErrNotSupported;
}

int Gateway::Trigger(const Client &client, long id, const Waits &waits)
{
    Link *link = nullptr;
    if (int error = Enter(client, id, waits, After(waits.ioMs), link))
        return error;
    const int error = Send(*link->instrument, "*TRG\n");
    Leave(*link->instrument);
    return error;
}

int Gateway::Clear(const Client &client, long id, const Waits &waits)
{
    Link *link = nullptr;
    if (int error = Enter(client, id, waits, After(waits.ioMs), link))
        return error;
    Instrument &instrument = *link->instrument;
    link->message.Clear();
    Collect(instrument);
    Drop(instrument);
    // What the instrument still sends goes nowhere: a read under way is
    // dropped, and one more takes any reply the instrument holds.
    instrument.discard = true;
    if (!instrument.reader->Reading())
        instrument.reader->Start({.binary = true, .bytes = 0, .timeoutMs = 1, .abandon = nullptr});
    Leave(instrument);
    return kErrNone;
}

int Gateway::CheckAccess(const Client &client, long id, const Waits &waits)
{
    Link *link = nullptr;
    const int error = Enter(client, id, waits, After(waits.ioMs), link);
    if (error == kErrNone)
        Leave(*link->instrument);
    return error;
}

int Gateway::Lock(const Client &client, long id, const Waits &waits)
{
    std::unique_lock<std::mutex> guard(mutex);
    Link *link = Find(client, id);
    if (link == nullptr)
        return kErrInvalidLink;
    const bool held = link->instrument->lockedBy == id;
    const int error = WaitForLock(*link, waits, guard);
    if (error == kErrNone && !held)
        Note("lock " + link->instrument->name + " by link " + std::to_string(id) + " of " + client.peer);
    return error;
}

int Gateway::Unlock(const Client &client, long id)
{
    std::lock_guard<std::mutex> guard(mutex);
    Link *link = Find(client, id);
    if (link == nullptr)
        return kErrInvalidLink;
    if (link->instrument->lockedBy != id)
        return kErrNoLock;
    Release(*link);
    return kErrNone;
}

int Gateway::Abort(const Client &client, long id)
{
    std::lock_guard<std::mutex> guard(mutex);
    Link *link = Find(client, id, false);
    if (link == nullptr)
        return kErrInvalidLink;
    link->aborted = true;
    return kErrNone;
}

void Gateway::Stop()
{
    std::lock_guard<std::mutex> guard(mutex);
    stopping = true;
    for (auto &link : links)
        link.second->aborted = true;
    for (Instrument *instrument : roster.All()) {
        instrument->reader->Abandon();
        instrument->changed.notify_all();
    }
}

size_t Gateway::LinksFrom(const std::string &address) const
{
    std::lock_guard<std::mutex> guard(mutex);
    return CountLinksFrom(address);
}

size_t Gateway::CountLinksFrom(const std::string &address) const
{
    return static_cast<size_t>(std::count_if(links.begin(), links.end(), [&](const auto &link) {
        return link.second->client.address == address;
    }));
}

size_t Gateway::Links() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return links.size();
}

std::vector<InstrumentState> Gateway::Snapshot() const
{
    const std::vector<Instrument *> all = roster.All();
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<InstrumentState> states;
    for (Instrument *instrument : all) {
        InstrumentState &state = states.emplace_back();
        state.instrument = instrument;
        for (const auto &[id, link] : links) {
            if (link->instrument != instrument)
                continue;
            ++state.links;
            if (instrument->lockedBy == id) {
                state.lockHolder = link->client.address;
                state.lockedSince = link->lockedSince;
            }
        }
    }
    return states;
}

} // namespace ostrel::tool::serve
