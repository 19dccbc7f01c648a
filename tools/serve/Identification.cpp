// The LXI identification document: the gateway as the device, and each
// instrument it serves as one of its interfaces, named by its stable name.
#include "Documents.h"
#include "ServiceNames.h"

namespace ostrel::tool::serve {
namespace {

std::string Element(const std::string &indent, const std::string &name, const std::string &text)
{
    return indent + "<" + name + ">" + Escaped(text) + "</" + name + ">\n";
}

std::string Interface(const Site &site, const Instrument &instrument)
{
    std::string xml = "  <Interface InterfaceType=\"LXI\" InterfaceName=\"" + Escaped(StableName(instrument.key)) +
                      "\">\n";
    for (const std::string &address : AddressesOf(site, instrument))
        xml += Element("    ", "InstrumentAddressString", address);
    xml += Element("    ", "Hostname", site.offered.host);
    return xml + "  </Interface>\n";
}

} // namespace

std::string Identification(const Site &site)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\">\n";
    xml += Element("  ", "Manufacturer", kGatewayMaker);
    xml += Element("  ", "Model", kGatewayModel);
    xml += Element("  ", "SerialNumber", site.offered.host);
    xml += Element("  ", "FirmwareRevision", OSTREL_VERSION);
    xml += Element("  ", "HomepageURL", BaseUrl(site) + "/");
    xml += Element("  ", "IdentificationURL", BaseUrl(site) + "/lxi/identification");
    for (const InstrumentState &state : site.gateway->Snapshot())
        xml += Interface(site, *state.instrument);
    return xml + "</LXIDevice>\n";
}

} // namespace ostrel::tool::serve
