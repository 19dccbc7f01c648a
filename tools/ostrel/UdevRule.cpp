// udev-rule: the udev rule that makes one instrument model an Ostrel instrument on
// Linux and gives it to the user at the seat and to the ostrel group; printed, or
// installed in /etc/udev/rules.d and applied at once.
#include "Cli.h"
#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace ostrel::tool {
namespace {

const char kRulesFolder[] = "/etc/udev/rules.d";

// "1A2B" -> "1a2b", as udev compares the attribute; empty unless 1 to 4 hex digits.
std::string UsbId(const std::string &text)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return "";
    char id[5];
    std::snprintf(id, sizeof id, "%04lx", std::strtoul(text.c_str(), nullptr, 16));
    return id;
}

// The whole line, with its own conditions, so that it works in a file of its
// own. uaccess takes effect only in a file read before 73-seat-late.rules, so
// the file is named 70-...; the group is for services, where nobody sits.
std::string RuleLine(const std::string &vendor, const std::string &product)
{
    return "ACTION!=\"remove\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + vendor +
           "\", ATTR{idProduct}==\"" + product +
           "\", ENV{OSTREL_INTERFACE_GUIDS}=\"{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}\", TAG+=\"uaccess\", "
           "GROUP=\"ostrel\", MODE=\"0660\"";
}

// udev applies a new rule only once told, and only to devices it looks at again.
void Apply(const std::string &vendor, const std::string &product)
{
    std::error_code error;
    if (!std::filesystem::exists("/run/udev/control", error)) {
        Say("udev does not run here: it reads the rule when it starts");
        return;
    }
    const std::string trigger = "udevadm trigger --subsystem-match=usb --attr-match=idVendor=" + vendor +
                                " --attr-match=idProduct=" + product + " --action=change";
    if (std::system("udevadm control --reload-rules") != 0 || std::system(trigger.c_str()) != 0)
        Say("udevadm failed: unplug the instrument and plug it in again");
    else
        Say("udev applied it to the instruments plugged in");
}

int Install(const std::string &vendor, const std::string &product)
{
    const std::string file = std::string(kRulesFolder) + "/70-ostrel-" + vendor + "-" + product + ".rules";
    std::FILE *out = std::fopen(file.c_str(), "w");
    if (out == nullptr)
        return Fail(kFailed, "cannot write " + file + ": " + std::strerror(errno) + " (it needs root: sudo ostrel " +
                                 "udev-rule " + vendor + ":" + product + " --install)");
    std::fprintf(out, "# The instrument model %s:%s for Ostrel, written by ostrel udev-rule.\n%s\n", vendor.c_str(),
                 product.c_str(), RuleLine(vendor, product).c_str());
    if (std::fclose(out) != 0)
        return Fail(kFailed, "cannot write " + file + ": " + std::strerror(errno));
    Say("wrote " + file);
    Apply(vendor, product);
    return kOk;
}

} // namespace

int UdevRule(Session &session)
{
    const UdevRuleOptions &options = session.options.udevRule;
    const size_t colon = options.model.find(':');
    const std::string vendor = UsbId(options.model.substr(0, colon));
    const std::string product = colon == std::string::npos ? "" : UsbId(options.model.substr(colon + 1));
    if (vendor.empty() || product.empty())
        return Fail(kUsage, "'" + options.model + "' is not a vendor and product ID: write them as lsusb does, "
                                                  "such as 1a2b:2936 (see ostrel udev-rule --help)");
    if (options.install)
        return Install(vendor, product);
    Say(RuleLine(vendor, product));
    return kOk;
}

} // namespace ostrel::tool
