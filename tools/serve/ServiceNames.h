// What a gateway announces of an instrument by DNS-SD: its instance name and
// TXT records, as LAN instruments publish theirs, built from whatever its
// identification reply holds.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ostrel::tool::serve {

// The gateway as a device, in its identification document and its _lxi._tcp records.
constexpr const char *kGatewayMaker = "Ostrel";
constexpr const char *kGatewayModel = "ostrel serve";

// The longest instance name DNS-SD carries, in bytes.
constexpr size_t kInstanceNameMax = 63;

// What an identification reply says ("VORN 2936-R 1.0.3 01/02/24 SN12345":
// maker, model, firmware, date, serial), with the key's model and serial
// where the reply is too short to hold them.
struct Described {
    std::string manufacturer;
    std::string model;
    std::string serial;
    std::string firmware;
};

Described Describe(const std::string &key, const std::string &identity);

// "VORN 2936-R SN12345 on host": the instrument shortened, never the host,
// to fit kInstanceNameMax.
std::string InstanceName(const Described &described, const std::string &host);

// txtvers, Manufacturer, Model, SerialNumber, FirmwareVersion (those known),
// and Device: the name a client opens (TCPIP::host::<Device>::INSTR).
std::vector<std::pair<std::string, std::string>> TxtRecords(const Described &described, const std::string &device);

} // namespace ostrel::tool::serve
