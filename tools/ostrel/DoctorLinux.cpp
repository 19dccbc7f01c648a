// The doctor's checks on Linux: udev rules that mark instruments, USB devices
// that look like instruments without the mark, and the device nodes' permissions.
#include "Doctor.h"

#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace ostrel::tool {
namespace {

const char kProperty[] = "OSTREL_INTERFACE_GUIDS";
const char kClass[] = "{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}";
const char kRulesDocs[] = OSTREL_DOCS "/linux.md, \"Make your instruments known to the system\"";

// The folders udev reads rules from; a file in an earlier folder hides one of
// the same name in a later folder.
const char *const kRuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                    "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool SetsClass(const std::filesystem::path &file)
{
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line[start] != '#' && line.find(kProperty) != std::string::npos &&
            Lower(line).find(kClass) != std::string::npos)
            return true;
    }
    return false;
}

std::vector<std::string> RulesSettingClass()
{
    std::set<std::string> seen;
    std::vector<std::string> setting;
    for (const char *folder : kRuleFolders) {
        std::error_code error;
        std::set<std::filesystem::path> files;
        for (const auto &entry : std::filesystem::directory_iterator(folder, error))
            if (entry.path().extension() == ".rules")
                files.insert(entry.path());
        for (const std::filesystem::path &file : files)
            if (seen.insert(file.filename().string()).second && SetsClass(file))
                setting.push_back(file.string());
    }
    return setting;
}

struct UsbDevice {
    std::string name; // "1a2b:2936 (VORN 2936-R) at /dev/bus/usb/001/002"
    std::string ids;  // "1a2b:2936"
    std::string node;
    bool marked = false;     // udev gives it the instruments' class
    bool lookalike = false;  // a vendor-specific or test-and-measurement interface with bulk IN and OUT
};

// Walks the configuration descriptors sysfs keeps for the device.
bool HasInstrumentInterface(const std::string &syspath)
{
    std::ifstream in(syspath + "/descriptors", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    bool candidate = false, bulkIn = false, bulkOut = false;
    for (size_t at = 0; at + 1 < bytes.size() && bytes[at] != 0; at += static_cast<unsigned char>(bytes[at])) {
        const auto byte = [&](size_t offset) { return at + offset < bytes.size() ? uint8_t(bytes[at + offset]) : 0; };
        if (byte(1) == 4) { // interface: class, subclass
            if (candidate && bulkIn && bulkOut)
                return true;
            candidate = byte(5) == 0xFF || (byte(5) == 0xFE && byte(6) == 0x03);
            bulkIn = bulkOut = false;
        } else if (byte(1) == 5 && (byte(3) & 3) == 2) { // bulk endpoint
            ((byte(2) & 0x80) != 0 ? bulkIn : bulkOut) = true;
        }
    }
    return candidate && bulkIn && bulkOut;
}

UsbDevice Describe(udev_device *device)
{
    auto text = [&](const char *value) { return std::string(value != nullptr ? value : ""); };
    UsbDevice usb;
    usb.node = text(udev_device_get_devnode(device));
    usb.marked = Lower(text(udev_device_get_property_value(device, kProperty))).find(kClass) != std::string::npos;
    usb.lookalike = HasInstrumentInterface(text(udev_device_get_syspath(device)));
    const std::string product = text(udev_device_get_sysattr_value(device, "product"));
    usb.ids = text(udev_device_get_sysattr_value(device, "idVendor")) + ":" +
              text(udev_device_get_sysattr_value(device, "idProduct"));
    usb.name = usb.ids + (product.empty() ? "" : " (" + product + ")") + " at " + usb.node;
    return usb;
}

std::vector<UsbDevice> UsbDevices()
{
    std::vector<UsbDevice> devices;
    udev *context = udev_new();
    udev_enumerate *enumerate = context != nullptr ? udev_enumerate_new(context) : nullptr;
    if (enumerate != nullptr) {
        udev_enumerate_add_match_subsystem(enumerate, "usb");
        udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device");
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry *entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
        {
            if (udev_device *device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry))) {
                devices.push_back(Describe(device));
                udev_device_unref(device);
            }
        }
        udev_enumerate_unref(enumerate);
    }
    if (context != nullptr)
        udev_unref(context);
    return devices;
}

Finding RulesFinding(const std::vector<std::string> &rules)
{
    if (rules.empty())
        return {false,
                std::string("no udev rule names an instrument model and gives it ") + kProperty + "=" + kClass +
                    ", so the library sees none (its log says \"GetDevInfoSet: Driver not installed.\")",
                std::string("sudo ostrel udev-rule VID:PID --install, with your instrument's IDs from lsusb (") +
                    kRulesDocs + ")"};
    std::string files;
    for (const std::string &rule : rules)
        files += (files.empty() ? "" : ", ") + rule;
    return {true, "udev rules that mark instruments: " + files, ""};
}

Finding DeviceFinding(const UsbDevice &device)
{
    if (!device.marked)
        return {false, device.name + " looks like an instrument but has no " + kProperty,
                "if it is one: sudo ostrel udev-rule " + device.ids + " --install (" + kRulesDocs + ")"};
    if (access(device.node.c_str(), R_OK | W_OK) != 0)
        return {false, "instrument " + device.name + ": this user may not read and write its device node",
                std::string("log in at the machine (the rule's uaccess), or join the group the rule gives it "
                            "(ostrel udev-rule: ostrel) (") +
                    kRulesDocs + ")"};
    return {true, "instrument " + device.name, ""};
}

} // namespace

std::vector<Finding> SystemFindings()
{
    const std::vector<std::string> rules = RulesSettingClass();
    std::vector<Finding> findings{RulesFinding(rules)};
    bool marked = false;
    for (const UsbDevice &device : UsbDevices()) {
        if (device.marked || device.lookalike)
            findings.push_back(DeviceFinding(device));
        marked = marked || device.marked;
    }
    if (!marked && !rules.empty())
        findings.push_back({false,
                            std::string("no USB device has ") + kProperty +
                                " now (the log says \"GetDevInfoSet: Device not connected.\")",
                            "plug the instrument in; if it is, check that the rules name its IDs with udevadm info "
                            "(" OSTREL_DOCS "/linux.md, \"What the log says when nothing is found\")"});
    return findings;
}

} // namespace ostrel::tool
