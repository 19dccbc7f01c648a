// Instance names and TXT records from identification replies, which may be
// short, odd or hold bytes that no name should carry.
#include "ServiceNames.h"

#include <cctype>
#include <sstream>

namespace ostrel::tool::serve {
namespace {

constexpr size_t kTxtMax = 255; // one TXT string: "key=value"

// Printable ASCII only: a reply's control bytes or stray bytes above 127
// would make names that browsers show as garbage or refuse. Its line end
// and tabs are blanks.
std::string Printable(const std::string &text)
{
    std::string clean;
    for (const char c : text)
        clean += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c > 0x20 && c < 0x7f ? c : '?';
    const size_t first = clean.find_first_not_of(' ');
    const size_t last = clean.find_last_not_of(' ');
    return first == std::string::npos ? "" : clean.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> fields;
    if (separator == ' ') {
        std::istringstream words(text);
        for (std::string word; words >> word;)
            fields.push_back(word);
        return fields;
    }
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part, separator);)
        fields.push_back(Printable(part));
    return fields;
}

std::string Field(const std::vector<std::string> &fields, size_t index)
{
    return index < fields.size() ? fields[index] : "";
}

// Cut to at most `size` bytes, never inside a UTF-8 character.
std::string Cut(const std::string &text, size_t size)
{
    if (text.size() <= size)
        return text;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xc0) == 0x80)
        --size;
    std::string cut = text.substr(0, size);
    while (!cut.empty() && cut.back() == ' ')
        cut.pop_back();
    return cut;
}

} // namespace

Described Describe(const std::string &key, const std::string &identity)
{
    const std::string cleanKey = Printable(key);
    const size_t blank = cleanKey.find(' ');
    Described described;
    described.model = cleanKey.substr(0, blank);
    described.serial = blank == std::string::npos ? "" : Printable(cleanKey.substr(blank + 1));
    const std::string reply = Printable(identity);
    if (reply.find(',') != std::string::npos) {
        // The common form elsewhere: maker,model,serial,firmware.
        const std::vector<std::string> fields = Split(reply, ',');
        described.manufacturer = Field(fields, 0);
        described.firmware = Field(fields, 3);
        for (const auto &[field, index] : {std::pair{&described.model, 1}, std::pair{&described.serial, 2}})
            if (!Field(fields, index).empty())
                *field = Field(fields, index);
        return described;
    }
    const std::vector<std::string> fields = Split(reply, ' ');
    described.manufacturer = Field(fields, 0);
    if (fields.size() >= 5) {
        described.model = fields[1];
        described.firmware = fields[2];
        described.serial = fields.back();
    } else if (fields.size() >= 3) {
        described.firmware = fields[2];
    }
    return described;
}

std::string InstanceName(const Described &described, const std::string &host)
{
    std::string instrument;
    for (const std::string *part : {&described.manufacturer, &described.model, &described.serial})
        if (!part->empty())
            instrument += (instrument.empty() ? "" : " ") + *part;
    const std::string where = " on " + host;
    if (where.size() >= kInstanceNameMax)
        return Cut(host, kInstanceNameMax);
    return Cut(instrument, kInstanceNameMax - where.size()) + where;
}

std::vector<std::pair<std::string, std::string>> TxtRecords(const Described &described, const std::string &device)
{
    std::vector<std::pair<std::string, std::string>> records{{"txtvers", "1"}};
    const std::pair<const char *, const std::string *> fields[] = {{"Manufacturer", &described.manufacturer},
                                                                    {"Model", &described.model},
                                                                    {"SerialNumber", &described.serial},
                                                                    {"FirmwareVersion", &described.firmware},
                                                                    {"Device", &device}};
    for (const auto &[name, value] : fields)
        if (!value->empty())
            records.emplace_back(name, Cut(*value, kTxtMax - std::string(name).size() - 1));
    return records;
}

} // namespace ostrel::tool::serve
