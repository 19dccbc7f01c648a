// The instruments among the USB devices udev knows, and their interface paths.
#include "platform/libusb/Instruments.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <set>
#include <libudev.h>

namespace ostrel::usb {

const GUID kInstrumentInterfaceClass = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};
const char kClassProperty[] = "OSTREL_INTERFACE_GUIDS";
const char kClassGuidText[] = "{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";

namespace {

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Contains(const std::string &text, const std::string &part)
{
    return Lower(text).find(Lower(part)) != std::string::npos;
}

// Serial numbers are whatever the device reports; keep the path one token
// that a shell and the path's own separators leave alone.
std::string PathToken(const std::string &text)
{
    if (text.empty())
        return "-";
    std::string token = text;
    for (char &c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            c = '_';
    return token;
}

bool ParseUnsigned(const char *text, int base, unsigned long limit, unsigned long &value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char *end = nullptr;
    value = std::strtoul(text, &end, base);
    while (end != nullptr && std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    return end != nullptr && *end == '\0' && value <= limit;
}

bool RuleLineSetsClass(const std::string &line)
{
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
        return false;
    return line.find(kClassProperty) != std::string::npos && Contains(line, kClassGuidText);
}

bool RulesFileSetsClass(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (RuleLineSetsClass(line))
            return true;
    return false;
}

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};

} // namespace

bool NamesInstrumentClass(const char *guids)
{
    return guids != nullptr && Contains(guids, kClassGuidText);
}

std::string InterfacePath(const Instrument &instrument)
{
    char head[64];
    std::snprintf(head, sizeof head, "/dev/bus/usb/%03u/%03u#vid_%04x&pid_%04x#", instrument.busnum,
                  instrument.devnum, instrument.vid, instrument.pid);
    return head + PathToken(instrument.serial) + "#" + Lower(kClassGuidText);
}

bool DescribeInstrument(udev_device *device, Instrument &instrument)
{
    const char *type = udev_device_get_devtype(device);
    if (type == nullptr || std::strcmp(type, "usb_device") != 0 ||
        !NamesInstrumentClass(udev_device_get_property_value(device, kClassProperty)))
        return false;
    unsigned long busnum = 0, devnum = 0, vid = 0, pid = 0;
    if (!ParseUnsigned(udev_device_get_property_value(device, "BUSNUM"), 10, 0xFFFF, busnum) ||
        !ParseUnsigned(udev_device_get_property_value(device, "DEVNUM"), 10, 0xFFFF, devnum))
        return false;
    // Removal events carry no attributes (sysfs is gone by then); the IDs
    // then come from the properties udev keeps for the device.
    if (!ParseUnsigned(udev_device_get_sysattr_value(device, "idVendor"), 16, 0xFFFF, vid) &&
        !ParseUnsigned(udev_device_get_property_value(device, "ID_VENDOR_ID"), 16, 0xFFFF, vid))
        return false;
    if (!ParseUnsigned(udev_device_get_sysattr_value(device, "idProduct"), 16, 0xFFFF, pid) &&
        !ParseUnsigned(udev_device_get_property_value(device, "ID_MODEL_ID"), 16, 0xFFFF, pid))
        return false;
    const char *serial = udev_device_get_sysattr_value(device, "serial");
    if (serial == nullptr)
        serial = udev_device_get_property_value(device, "ID_SERIAL_SHORT");
    const char *syspath = udev_device_get_syspath(device);
    const char *devnode = udev_device_get_devnode(device);

    instrument.syspath = syspath != nullptr ? syspath : "";
    instrument.busnum = static_cast<unsigned>(busnum);
    instrument.devnum = static_cast<unsigned>(devnum);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", instrument.busnum, instrument.devnum);
    instrument.devnode = devnode != nullptr ? devnode : node;
    instrument.vid = static_cast<uint16_t>(vid);
    instrument.pid = static_cast<uint16_t>(pid);
    instrument.serial = serial != nullptr ? serial : "";
    // sysfs attributes end in a line feed in some emulations; the device's string does not.
    while (!instrument.serial.empty() && std::isspace(static_cast<unsigned char>(instrument.serial.back())))
        instrument.serial.pop_back();
    instrument.path = InterfacePath(instrument);
    return true;
}

std::vector<Instrument> PresentInstruments(udev *context)
{
    std::vector<Instrument> instruments;
    udev_enumerate *enumerate = udev_enumerate_new(context);
    if (enumerate == nullptr)
        return instruments;
    udev_enumerate_add_match_subsystem(enumerate, "usb");
    udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
    {
        udev_device *device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (device == nullptr)
            continue;
        Instrument instrument;
        if (DescribeInstrument(device, instrument))
            instruments.push_back(std::move(instrument));
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumerate);
    return instruments;
}

bool RulesSetClass(const std::vector<std::string> &directories)
{
    std::set<std::string> seen;
    for (const std::string &directory : directories) {
        std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
        if (dir == nullptr)
            continue;
        std::vector<std::string> names;
        while (dirent *entry = readdir(dir.get())) {
            std::string name = entry->d_name;
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".rules") == 0)
                names.push_back(name);
        }
        for (const std::string &name : names) {
            // An earlier directory's file of the same name (a copy, an empty
            // file or a link to /dev/null) replaces this one for udev.
            if (!seen.insert(name).second)
                continue;
            if (RulesFileSetsClass(directory + "/" + name))
                return true;
        }
    }
    return false;
}

const std::vector<std::string> &RulesDirectories()
{
    static const std::vector<std::string> directories = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                                         "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                                         "/lib/udev/rules.d"};
    return directories;
}

bool SamePath(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && Lower(a) == Lower(b);
}

} // namespace ostrel::usb
