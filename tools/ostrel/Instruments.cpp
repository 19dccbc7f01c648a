// The tool's view of the instruments, through the public API only.
#include "Instruments.h"

#include "ostrel.h"

#include <cstdio>
#include <cstdlib>

namespace ostrel::tool {

namespace {

const unsigned replyBufferSize = 4096;

// "id,identity;" per instrument, in key order.
std::vector<std::string> Identities(int count)
{
    std::vector<std::string> identities;
    std::string info(static_cast<size_t>(count) * 64 + 1, '\0');
    if (count == 0 || vorn_usb_get_device_info(&info[0]) != 0)
        return identities;
    info.resize(info.find('\0'));
    size_t at = 0;
    while (at < info.size()) {
        size_t comma = info.find(',', at);
        size_t end = info.find(';', comma == std::string::npos ? at : comma);
        if (comma == std::string::npos || end == std::string::npos)
            break;
        identities.push_back(info.substr(comma + 1, end - comma - 1));
        at = end + 1;
    }
    return identities;
}

} // namespace

std::vector<Row> CurrentRows()
{
    std::vector<Row> rows;
    int count = vorn_usb_GetDeviceCount();
    if (count <= 0)
        return rows;
    std::vector<std::vector<char>> keyStore(count, std::vector<char>(64));
    std::vector<char *> keys;
    for (auto &key : keyStore)
        keys.push_back(key.data());
    std::vector<int> ids(count), models(count), serials(count);
    int listed = 0;
    int keyCount = vorn_usb_GetDeviceKeys(keys.data());
    if (GetInstrumentList(ids.data(), models.data(), serials.data(), &listed) != 0)
        return rows;
    std::vector<std::string> identities = Identities(count);
    for (int i = 0; i < listed && i < keyCount && i < count; ++i)
        rows.push_back(Row{.id = ids[i],
                           .key = keys[i],
                           .model = models[i],
                           .serial = serials[i],
                           .identity = i < static_cast<int>(identities.size()) ? identities[i] : ""});
    return rows;
}

std::vector<Row> Discover(unsigned productID, bool sequentialIDs)
{
    int count = 0;
    vorn_usb_open_devices(productID, !sequentialIDs, &count);
    return CurrentRows();
}

bool Resolve(const std::string &text, const std::vector<Row> &rows, Target &target)
{
    target = Target{};
    target.name = text;
    for (const Row &row : rows)
        if (row.key == text) {
            target.byKey = true;
            target.key = text;
            return true;
        }
    char *end = nullptr;
    long id = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        return false;
    for (const Row &row : rows)
        if (row.id == id) {
            target.id = static_cast<int>(id);
            return true;
        }
    return false;
}

bool SendAscii(const Target &target, const std::string &command)
{
    std::string text = command;
    return target.byKey ? vorn_usb_write_by_key(target.key.c_str(), &text[0], 0) == 0
                        : vorn_usb_send_ascii(target.id, &text[0], 0) == 0;
}

bool SendBinary(const Target &target, const std::vector<unsigned char> &bytes)
{
    std::vector<char> data(bytes.begin(), bytes.end());
    data.push_back('\0'); // a valid buffer also for an empty block
    const unsigned length = static_cast<unsigned>(bytes.size());
    return target.byKey ? vorn_usb_write_binary_by_key(target.key.c_str(), data.data(), length) == 0
                        : vorn_usb_send_binary(target.id, data.data(), length) == 0;
}

bool ReadAscii(const Target &target, std::string &reply)
{
    std::vector<char> buffer(replyBufferSize);
    unsigned got = 0;
    int result = target.byKey ? vorn_usb_read_ascii_by_key(target.key.c_str(), buffer.data(), replyBufferSize, &got)
                              : vorn_usb_get_ascii_by_DeviceID(target.id, buffer.data(), replyBufferSize, &got);
    if (result != 0)
        return false;
    reply.assign(buffer.data(), got);
    return true;
}

bool ReadBinary(const Target &target, std::vector<unsigned char> &reply)
{
    std::vector<char> buffer(replyBufferSize);
    unsigned got = 0;
    int result = target.byKey ? vorn_usb_read_by_key(target.key.c_str(), buffer.data(), replyBufferSize, &got)
                              : vorn_usb_get_ascii(target.id, buffer.data(), replyBufferSize, &got);
    if (result != 0)
        return false;
    reply.assign(buffer.begin(), buffer.begin() + got);
    return true;
}

bool ParseHex(const std::vector<std::string> &words, std::vector<unsigned char> &bytes)
{
    std::string digits;
    for (const std::string &word : words)
        digits += word;
    if (digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = digits.substr(i, 2);
        long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ')
            return false;
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

std::string FormatHex(const std::vector<unsigned char> &bytes)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

} // namespace ostrel::tool
