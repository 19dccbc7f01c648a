// Reading instruments, bench files and faults from JSON, with a reason for every refusal.
#include "platform/sim/InstrumentJson.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace ostrel::sim {
namespace {

using nlohmann::json;

std::string Quoted(const std::string &key)
{
    return "\"" + key + "\"";
}

// "[json.exception.parse_error.101] parse error at line 1, column 2: ..." -> "line 1, column 2: ...".
std::string Readable(const json::exception &error)
{
    std::string text = error.what();
    const size_t tag = text.find("] ");
    if (tag != std::string::npos)
        text.erase(0, tag + 2);
    for (const char *noise : {"parse error at ", "parse error: "})
        if (text.compare(0, std::strlen(noise), noise) == 0)
            text.erase(0, std::strlen(noise));
    return text;
}

bool Parse(const std::string &text, json &value, std::string &reason)
{
    try {
        value = json::parse(text);
        return true;
    } catch (const json::exception &error) {
        reason = "not JSON: " + Readable(error);
        return false;
    }
}

// A misspelt key would otherwise leave its feature silently unset.
bool KnownKeys(const json &object, std::initializer_list<const char *> known, std::string &reason)
{
    for (const auto &item : object.items()) {
        bool found = false;
        for (const char *key : known)
            found = found || item.key() == key;
        if (found)
            continue;
        reason = "unknown key " + Quoted(item.key()) + " (known keys:";
        for (const char *key : known)
            reason += std::string(key == *known.begin() ? " " : ", ") + key;
        reason += ")";
        return false;
    }
    return true;
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

// The member `key`, an object; an empty one when it is absent.
bool FindObject(const json &object, const char *key, const json *&member, std::string &reason)
{
    static const json none = json::object();
    auto it = object.find(key);
    member = it != object.end() ? &*it : &none;
    if (!member->is_object())
        reason = Quoted(key) + " must be an object";
    return member->is_object();
}

// USB IDs as lsusb and the tools write them ("0x1a2b") or as numbers.
bool ReadId(const json &object, const char *key, uint16_t &id, std::string &reason)
{
    auto it = object.find(key);
    uint64_t value = 0;
    if (it != object.end() && it->is_string()) {
        const std::string &text = it->get_ref<const std::string &>();
        const bool hex = text.size() > 2 && text.size() <= 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
                         text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
        if (!hex) {
            reason = Quoted(key) + " must be a number or a hexadecimal string such as \"0x1a2b\", not \"" + text + "\"";
            return false;
        }
        value = std::stoul(text.substr(2), nullptr, 16);
    } else if (!ReadUnsigned(object, key, 0xFFFF, true, value, reason)) {
        if (it != object.end())
            reason += " or a hexadecimal string such as \"0x1a2b\"";
        return false;
    }
    id = static_cast<uint16_t>(value);
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

// Bytes, or {"reply": bytes, "delay_ms": time} for a reply slower than the
// instrument's others, as a measurement can be.
bool ReadReply(const json &reply, const std::string &what, ReplyConfig &answer, std::string &reason)
{
    if (!reply.is_object())
        return ReadBytes(reply, what, answer.bytes, reason);
    uint64_t delay = answer.delayMs;
    if (!KnownKeys(reply, {"reply", "delay_ms"}, reason) ||
        !ReadUnsigned(reply, "delay_ms", 0xFFFFFFFF, false, delay, reason) || !reply.contains("reply")) {
        reason = what + ": " + (reason.empty() ? "\"reply\" is missing" : reason);
        return false;
    }
    answer.delayMs = static_cast<uint32_t>(delay);
    return ReadBytes(reply["reply"], what, answer.bytes, reason);
}

// One reply, or a list of them given in turn.
bool ReadTurns(const json &reply, const std::string &what, const InstrumentConfig &config, ReplyTurns &turns,
               std::string &reason)
{
    if (reply.is_array() && reply.empty()) {
        reason = what + ": a list of replies must hold at least one";
        return false;
    }
    turns.clear();
    const json single = json::array({reply});
    const json &list = reply.is_array() ? reply : single;
    for (size_t i = 0; i < list.size(); ++i) {
        ReplyConfig answer{{}, config.replyDelayMs};
        const std::string which = reply.is_array() ? what + ", number " + std::to_string(i) : what;
        if (!ReadReply(list[i], which, answer, reason))
            return false;
        turns.push_back(answer);
    }
    return true;
}

bool ReadReplies(const json &object, InstrumentConfig &config, std::string &reason)
{
    const json *replies = nullptr;
    if (!FindObject(object, "replies", replies, reason))
        return false;
    for (const auto &[command, reply] : replies->items()) {
        std::string commandBytes;
        if (!ReadBytes(json(command), "the command \"" + command + "\"", commandBytes, reason) ||
            !ReadTurns(reply, "the reply to \"" + command + "\"", config, config.replies[commandBytes], reason))
            return false;
    }
    return true;
}

bool ReadValues(const json &object, PropertyConfig &property, std::string &reason)
{
    auto values = object.find("values");
    if (values == object.end())
        return true;
    if (!values->is_array() || values->empty()) {
        reason = "\"values\" must be a list of strings";
        return false;
    }
    for (const json &value : *values) {
        property.values.emplace_back();
        if (!ReadBytes(value, "each of \"values\"", property.values.back(), reason))
            return false;
    }
    for (const std::string &value : property.values)
        if (value == property.initial)
            return true;
    reason = "\"default\" must be one of \"values\"";
    return false;
}

bool ReadProperty(const std::string &name, const json &object, PropertyConfig &property, std::string &reason)
{
    if (!object.is_object()) {
        reason = "must be an object";
        return false;
    }
    if (!KnownKeys(object, {"default", "set", "get", "values"}, reason))
        return false;
    property.name = name;
    auto initial = object.find("default");
    if (initial == object.end()) {
        reason = "\"default\" is missing";
        return false;
    }
    std::string setter;
    if (!ReadBytes(*initial, "\"default\"", property.initial, reason) ||
        (object.contains("get") && !ReadBytes(object["get"], "\"get\"", property.get, reason)) ||
        (object.contains("set") && !ReadBytes(object["set"], "\"set\"", setter, reason)))
        return false;
    const size_t slot = setter.find("{}");
    if (object.contains("set") && (slot == std::string::npos || setter.find("{}", slot + 2) != std::string::npos)) {
        reason = "\"set\" must hold one \"{}\" where the value goes";
        return false;
    }
    if (property.get.empty() && setter.empty()) {
        reason = "needs \"get\", \"set\" or both";
        return false;
    }
    property.settable = !setter.empty();
    property.setBefore = setter.substr(0, slot);
    property.setAfter = property.settable ? setter.substr(slot + 2) : "";
    return ReadValues(object, property, reason);
}

bool ReadProperties(const json &object, InstrumentConfig &config, std::string &reason)
{
    const json *properties = nullptr;
    if (!FindObject(object, "properties", properties, reason))
        return false;
    for (const auto &[name, property] : properties->items()) {
        config.properties.emplace_back();
        if (!ReadProperty(name, property, config.properties.back(), reason)) {
            reason = "property " + Quoted(name) + ": " + reason;
            return false;
        }
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
        if (!KnownKeys(endpoint, {"address", "type"}, reason)) {
            reason = "endpoint: " + reason;
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
    if (!KnownKeys(object, {"vid", "pid", "serial", "path", "replies", "properties", "echo", "reply_delay_ms",
                            "endpoints", "descriptor_length"},
                   reason))
        return false;
    uint64_t delay = 0, descriptorLength = 18;
    if (!ReadId(object, "vid", config.vid, reason) || !ReadId(object, "pid", config.pid, reason) ||
        !ReadUnsigned(object, "reply_delay_ms", 0xFFFFFFFF, false, delay, reason) ||
        !ReadUnsigned(object, "descriptor_length", 18, false, descriptorLength, reason))
        return false;
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
    return ReadReplies(object, config, reason) && ReadProperties(object, config, reason) &&
           ReadEndpoints(object, config, reason);
}

// Folders and missing files get a reason of their own: a stream would only
// fail on its first read, with a message about buffers.
bool ReadFile(const char *path, std::string &text, std::string &reason)
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::file_status status = fs::status(path, ignored);
    reason = std::string("cannot open the bench file ") + path + ": ";
    if (!fs::exists(status)) {
        reason += "there is no such file";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        reason += fs::is_directory(status) ? "it is a folder, not a file" : "it is not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    if (!in || !(content << in.rdbuf())) {
        reason += errno != 0 ? std::strerror(errno) : "it cannot be read";
        return false;
    }
    text = content.str();
    return true;
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
    if (!Parse(text, object, reason))
        return false;
    config = InstrumentConfig();
    return ReadInstrument(object, config, reason);
}

bool ParseBenchFile(const char *path, std::vector<InstrumentConfig> &configs, std::string &reason)
{
    if (path == nullptr) {
        reason = "no bench file given (null)";
        return false;
    }
    std::string text;
    json bench;
    if (!ReadFile(path, text, reason))
        return false;
    if (!Parse(text, bench, reason)) {
        reason = std::string("the bench file ") + path + " is " + reason;
        return false;
    }
    const std::string file = std::string("the bench file ") + path;
    auto list = bench.is_object() ? bench.find("instruments") : bench.end();
    if (!bench.is_object() || list == bench.end() || !list->is_array()) {
        reason = file + " must be an object with a list \"instruments\"";
        return false;
    }
    if (!KnownKeys(bench, {"instruments"}, reason)) {
        reason = file + ": " + reason;
        return false;
    }
    configs.clear();
    for (size_t i = 0; i < list->size(); ++i) {
        InstrumentConfig config;
        if (!ReadInstrument((*list)[i], config, reason)) {
            reason = file + ", instrument " + std::to_string(i) + ": " + reason;
            return false;
        }
        configs.push_back(std::move(config));
    }
    return true;
}

bool ParseFault(const char *text, FaultConfig &fault, std::string &reason)
{
    if (text == nullptr) {
        reason = "no fault given (null)";
        return false;
    }
    json object;
    if (!Parse(text, object, reason))
        return false;
    if (!object.is_object()) {
        reason = "a fault must be a JSON object";
        return false;
    }
    auto call = object.find("call");
    if (call == object.end() || !call->is_string()) {
        reason = "\"call\" must name a platform call";
        return false;
    }
    fault.call = call->get<std::string>();
    uint64_t error = 0, after = 0, times = 0;
    if (!KnownKeys(object, {"call", "error", "after", "times"}, reason) ||
        !ReadUnsigned(object, "error", UINT32_MAX, true, error, reason) ||
        !ReadUnsigned(object, "after", UINT32_MAX, false, after, reason) ||
        !ReadUnsigned(object, "times", UINT32_MAX, false, times, reason))
        return false;
    fault.error = static_cast<uint32_t>(error);
    fault.after = static_cast<uint32_t>(after);
    fault.times = static_cast<uint32_t>(times);
    return true;
}

} // namespace ostrel::sim
