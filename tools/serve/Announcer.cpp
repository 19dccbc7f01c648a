// The announcer's connection to the system's Avahi daemon, through Avahi's
// client library on a thread of its own, which runs its callbacks with its
// lock held: what other threads tell it is handed over, never called in.
#include "AnnouncerState.h"
#include "Note.h"

#include <avahi-common/error.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <thread>
#include <unistd.h>

namespace ostrel::tool::serve {
namespace {

// Other hosts reach neither service of a gateway that listens on loopback.
bool Loopback(const std::string &listen)
{
    return listen.rfind("127.", 0) == 0 || listen == "::1";
}

} // namespace

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

// On Avahi's thread: the connection made at first, then what Follow handed over.
void Announcer::State::OnWake(AvahiWatch *, int fd, AvahiWatchEvent, void *context)
{
    State &state = *static_cast<State *>(context);
    char drained[64];
    while (read(fd, drained, sizeof drained) > 0) {
    }
    if (!state.connectTried) {
        state.connectTried = true;
        state.Connect();
    }
    std::vector<Instrument *> changed;
    {
        std::lock_guard<std::mutex> lock(state.handOver);
        changed.swap(state.changed);
    }
    for (Instrument *instrument : changed)
        state.Track(*instrument);
}

// The library's thread never waits on Avahi, whose calls wait up to 25 s for
// a daemon that does not answer: it hands the change over and moves on.
void Announcer::State::Hand(const std::vector<Instrument *> &instruments)
{
    std::lock_guard<std::mutex> lock(handOver);
    if (!accepting)
        return;
    changed.insert(changed.end(), instruments.begin(), instruments.end());
    // A full pipe has a nudge in it already.
    [[maybe_unused]] const ssize_t written = write(wake[1], "", 1);
}

bool Announcer::State::Open()
{
    poll = avahi_threaded_poll_new();
    if (poll == nullptr || pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    const AvahiPoll *api = avahi_threaded_poll_get(poll);
    if (api->watch_new(api, wake[0], AVAHI_WATCH_IN, OnWake, this) == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(handOver);
    accepting = true;
    return true;
}

// Avahi's thread has stopped, or never ran.
void Announcer::State::Close()
{
    if (client != nullptr)
        avahi_client_free(client); // the daemon says goodbye for its groups
    if (poll != nullptr)
        avahi_threaded_poll_free(poll);
    for (int &fd : wake)
        if (fd >= 0)
            close(fd);
}

Announcer::Announcer(Roster &roster, const Offered &offered) : state(std::make_shared<State>(roster, offered))
{
    state->page.state = state.get();
}

Announcer::~Announcer()
{
    Stop();
}

void Announcer::Start(const std::vector<Instrument *> &instruments)
{
    if (Loopback(state->offered.listen)) {
        Note("mDNS: off: no other host reaches " + state->offered.listen);
        return;
    }
    if (!state->Open() || avahi_threaded_poll_start(state->poll) != 0) {
        Note("mDNS: off: Avahi's event loop did not start");
        Stop();
        return;
    }
    state->Hand(instruments);
}

void Announcer::Follow(Instrument &instrument)
{
    state->Hand({&instrument});
}

// Within a bound: a daemon that does not answer holds Avahi's calls (and its
// thread) for up to 25 s, which a stop does not wait for; the daemon drops
// the announcements when the gateway's connection to the bus closes.
void Announcer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(state->handOver);
        if (state->stopped)
            return;
        state->stopped = true;
        state->accepting = false;
    }
    if (state->poll == nullptr)
        return;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([state = state, done] {
        avahi_threaded_poll_stop(state->poll);
        state->Close();
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) {
        Note("mDNS: avahi-daemon does not answer: stopping without waiting for it");
    } else if (state->running) {
        Note("mDNS: withdrew every announcement");
    }
}

} // namespace ostrel::tool::serve
