// A build without libavahi-client (Windows; Linux without libavahi-client-dev):
// nothing is announced, and serve says so once.
#include "Announcer.h"
#include "Note.h"

namespace ostrel::tool::serve {

struct Announcer::State {};

Announcer::Announcer(Roster &, const Offered &) {}

Announcer::~Announcer() = default;

void Announcer::Start(const std::vector<Instrument *> &)
{
    Note("mDNS: this build does not announce the instruments (it has no Avahi client library)");
}

void Announcer::Follow(Instrument &) {}

void Announcer::Stop() {}

} // namespace ostrel::tool::serve
