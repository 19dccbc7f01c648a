// Reading instruments and bench files from JSON, with a reason for every refusal.
#include "platform/sim/InstrumentJson.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>

namespace ostrel::sim {
namespace {

using nlohmann::json;

std::string Quoted(const char *key)
{
    return std::string("\"") + key + "\"";
}

// Absent and not required: `value` keeps its default.
bool ReadUnsigned(const json &object, const char *key, uint64_t max, bool required, uint64_t &value,
                  std::string &reason)
{
    auto it = object.find(key);
    if (it == object.end()) {
        if (required)
            reason = Quoted(key) + " is missing";
        return !required;
    }
    // nlohmann stores every integer without sign or fraction as unsigned.
    if (!it->is_number_unsigned() || it->get<uint64_t>() > max) {
        reason = Quoted(key) + " must be an integer from 0 to " + std::to_string(max);
        return false;
    }
    value = it->get<uint64_t>();
    return true;
}

bool ReadBytes(const json &value, const std::string &what, std::string &bytes, std::string &reason)
{
    if (!value.is_string()) {
        reason = what + " must be a string";
        return false;
    }
    if (!CodePointsToBytes(value.get_ref<const std::string &>(), bytes)) {
        reason = what + " holds a character above \\u00FF (one byte per character)";
        return false;
    }
    return true;
}

// Paths and serials reach SetupAPI as narrow text and the core lower-cases
// them, so anything beyond printable ASCII would not survive the trip.
bool ReadPrintable(const json &object, const char *key, size_t maxLength, const char *forbidden,
                   std::string &text, std::string &reason)
{
    auto it = object.find(key);
    if (it == object.end())
        return true;
    if (!it->is_string()) {
        reason = Quoted(key) + " must be a string";
        return false;
    }
    const std::string &value = it->get_ref<const std::string &>();
    bool printable = !value.empty() && value.size() <= maxLength;
    for (unsigned char c : value)
        printable = printable && c >= 0x20 && c < 0x7F && std::strchr(forbidden, c) == nullptr;
    if (!printable) {
        reason = Quoted(key) + " must be 1 to " + std::to_string(maxLength) + " printable ASCII characters" +
                 (*forbidden != '\0' ? std::string(" without '") + forbidden + "'" : std::string());
        return false;
    }
    text = value;
    return true;
}

bool ReadReplies(const json &object, InstrumentConfig &config, std::string &reason)
{
    auto it = object.find("replies");
    if (it == object.end())
        return true;
    if (!it->is_object()) {
        reason = "\"replies\" must be an object";
        return false;
    }
    for (const auto &[command, reply] : it->items()) {
        std::string commandBytes, replyBytes;
        if (!ReadBytes(json(command), "the command \"" + command + "\"", commandBytes, reason) ||
            !ReadBytes(reply, "the reply to \"" + command + "\"", replyBytes, reason))
            return false;
        config.replies[commandBytes] = replyBytes;
    }
    return true;
}

bool ReadPipeType(const json &endpoint, USBD_PIPE_TYPE &type, std::string &reason)
{
    auto it = endpoint.find("type");
    const std::string name = it != endpoint.end() && it->is_string() ? it->get<std::string>() : std::string();
    if (name == "bulk")
        type = UsbdPipeTypeBulk;
    else if (name == "interrupt")
        type = UsbdPipeTypeInterrupt;
    else if (name == "isochronous")
        type = UsbdPipeTypeIsochronous;
    else if (name == "control")
        type = UsbdPipeTypeControl;
    else {
        reason = "endpoint \"type\" must be one of bulk, interrupt, isochronous, control";
        return false;
    }
    return true;
}

bus::Endpoint MakeEndpoint(uint8_t address, USBD_PIPE_TYPE type)
{
    bus::Endpoint endpoint{};
    endpoint.address = address;
    endpoint.type = type;
    // The sizes a high-speed instrument typically reports for each type.
    endpoint.maxPacketSize = type == UsbdPipeTypeBulk ? 512 : type == UsbdPipeTypeIsochronous ? 1024 : 64;
    endpoint.interval = type == UsbdPipeTypeInterrupt || type == UsbdPipeTypeIsochronous ? 1 : 0;
    return endpoint;
}

bool ReadEndpoints(const json &object, InstrumentConfig &config, std::string &reason)
{
    auto it = object.find("endpoints");
    if (it == object.end()) {
        config.endpoints = {MakeEndpoint(0x81, UsbdPipeTypeBulk), MakeEndpoint(0x02, UsbdPipeTypeBulk)};
        return true;
    }
    if (!it->is_array()) {
        reason = "\"endpoints\" must be a list";
        return false;
    }
    for (const json &endpoint : *it) {
        uint64_t address = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        if (!endpoint.is_object()) {
            reason = "each endpoint must be an object";
            return false;
        }
        if (!ReadUnsigned(endpoint, "address", 0xFF, true, address, reason) || !ReadPipeType(endpoint, type, reason))
            return false;
        // Bits 4..6 of an endpoint address are reserved and zero.
        if ((address & 0x70) != 0) {
            reason = "endpoint address " + std::to_string(address) + " is not a USB endpoint address";
            return false;
        }
        for (const bus::Endpoint &earlier : config.endpoints)
            if (earlier.address == address) {
                reason = "endpoint address " + std::to_string(address) + " appears twice";
                return false;
            }
        config.endpoints.push_back(MakeEndpoint(static_cast<uint8_t>(address), type));
    }
    return true;
}

bool ReadInstrument(const json &object, InstrumentConfig &config, std::string &reason)
{
    if (!object.is_object()) {
        reason = "an instrument must be a JSON object";
        return false;
    }
    uint64_t vid = 0, pid = 0, delay = 0, descriptorLength = 18;
    if (!ReadUnsigned(object, "vid", 0xFFFF, true, vid, reason) ||
        !ReadUnsigned(object, "pid", 0xFFFF, true, pid, reason) ||
        !ReadUnsigned(object, "reply_delay_ms", 0xFFFFFFFF, false, delay, reason) ||
        !ReadUnsigned(object, "descriptor_length", 18, false, descriptorLength, reason))
        return false;
    config.vid = static_cast<uint16_t>(vid);
    config.pid = static_cast<uint16_t>(pid);
    config.replyDelayMs = static_cast<uint32_t>(delay);
    config.descriptorLength = static_cast<uint8_t>(descriptorLength);

    if (!ReadPrintable(object, "serial", 64, "#", config.serial, reason) ||
        !ReadPrintable(object, "path", MAX_PATH - 1, "", config.path, reason))
        return false;
    auto echo = object.find("echo");
    if (echo != object.end() && !echo->is_boolean()) {
        reason = "\"echo\" must be true or false";
        return false;
    }
    config.echo = echo != object.end() && echo->get<bool>();
    return ReadReplies(object, config, reason) && ReadEndpoints(object, config, reason);
}

} // namespace

bool CodePointsToBytes(const std::string &utf8, std::string &bytes)
{
    bytes.clear();
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
            continue;
        }
        // U+0080..U+00FF are the two-byte sequences C2 xx and C3 xx; anything
        // else is a larger code point (or not UTF-8 at all).
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= utf8.size())
            return false;
        unsigned char next = static_cast<unsigned char>(utf8[++i]);
        if ((next & 0xC0) != 0x80)
            return false;
        bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
    }
    return true;
}

bool ParseInstrument(const char *text, InstrumentConfig &config, std::string &reason)
{
    if (text == nullptr) {
        reason = "no instrument given (null)";
        return false;
    }
    json object;
    try {
        object = json::parse(text);
    } catch (const json::exception &e) {
        reason = std::string("not JSON: ") + e.what();
        return false;
    }
    config = InstrumentConfig();
    return ReadInstrument(object, config, reason);
}

bool ParseBenchFile(const char *path, std::vector<InstrumentConfig> &configs, std::string &reason)
{
    if (path == nullptr) {
        reason = "no bench file given (null)";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::string("cannot open the bench file ") + path;
        return false;
    }
    json bench;
    try {
        bench = json::parse(in);
    } catch (const json::exception &e) {
        reason = std::string("bench file not JSON: ") + e.what();
        return false;
    }
    auto list = bench.is_object() ? bench.find("instruments") : bench.end();
    if (!bench.is_object() || list == bench.end() || !list->is_array()) {
        reason = "a bench file must be an object with a list \"instruments\"";
        return false;
    }
    configs.clear();
    for (size_t i = 0; i < list->size(); ++i) {
        InstrumentConfig config;
        if (!ReadInstrument((*list)[i], config, reason)) {
            reason = "instrument " + std::to_string(i) + ": " + reason;
            return false;
        }
        configs.push_back(std::move(config));
    }
    return true;
}

} // namespace ostrel::sim
