// What the documents share: escaping, and the addresses an instrument is opened by.
#include "Documents.h"

namespace ostrel::tool::serve {

std::string Escaped(const std::string &text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default:
            // XML 1.0 has no way to write the other control characters: an instrument's reply may hold them.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                escaped += "?";
            else
                escaped += c;
        }
    }
    return escaped;
}

std::vector<std::string> AddressesOf(const Site &site, const Instrument &instrument)
{
    std::vector<std::string> addresses;
    const Offered &offered = site.offered;
    if (offered.vxi11)
        addresses.push_back(InstrResource(offered.host, StableName(instrument.key)));
    if (offered.rawPort != 0)
        addresses.push_back(SocketResource(offered.host, RawPort(offered.rawPort, instrument)));
    return addresses;
}

std::string BaseUrl(const Site &site)
{
    return "http://" + site.offered.host + ":" + std::to_string(site.offered.httpPort);
}

InstrumentCounts CountsOf(const MetricsSnapshot &counted, const Instrument &instrument)
{
    const auto found = counted.instruments.find(instrument.name);
    return found != counted.instruments.end() ? found->second : InstrumentCounts{};
}

} // namespace ostrel::tool::serve
