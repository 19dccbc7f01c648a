// What an instrument is announced as, from the identification replies
// instruments give, short and malformed ones included.
#include "../../tools/serve/ServiceNames.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrel::tool::serve {
namespace {

std::string Txt(const Described &described, const std::string &name)
{
    for (const auto &[key, value] : TxtRecords(described, "2936-R_SN12345"))
        if (key == name)
            return value;
    return "(none)";
}

TEST(ServiceNames, EveryReplyFormGivesMakerModelSerialAndFirmware)
{
    const Described full = Describe("2936-R SN12345", "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n");
    EXPECT_EQ(full.manufacturer, "VORN");
    EXPECT_EQ(full.model, "2936-R");
    EXPECT_EQ(full.serial, "SN12345");
    EXPECT_EQ(full.firmware, "1.0.3");

    // Short or missing replies: the key still names model and serial.
    const Described shortReply = Describe("2936-R SN12345", "VORN 2936-R 1.0.3");
    EXPECT_EQ(shortReply.manufacturer, "VORN");
    EXPECT_EQ(shortReply.serial, "SN12345");
    EXPECT_EQ(shortReply.firmware, "1.0.3");
    const Described none = Describe("2936-R SN12345", "");
    EXPECT_EQ(none.manufacturer, "");
    EXPECT_EQ(none.model, "2936-R");
    EXPECT_EQ(none.serial, "SN12345");
    EXPECT_EQ(Describe("2936-R", "").serial, "");

    // The comma-separated form: maker, model, serial, firmware.
    const Described commas = Describe("2936-R SN12345", "Acme,X1,,2.0");
    EXPECT_EQ(commas.manufacturer, "Acme");
    EXPECT_EQ(commas.model, "X1");
    EXPECT_EQ(commas.serial, "SN12345");
    EXPECT_EQ(commas.firmware, "2.0");

    // Control bytes and bytes above 127 never reach a name or a record.
    EXPECT_EQ(Describe("2936-R SN12345", "VO\x01RN\xff 2936-R").manufacturer, "VO?RN?");
}

TEST(ServiceNames, InstanceNamesFitAndKeepTheHost)
{
    const Described vorn = Describe("2936-R SN12345", "VORN 2936-R 1.0.3 01/02/24 SN12345");
    EXPECT_EQ(InstanceName(vorn, "gw1"), "VORN 2936-R SN12345 on gw1");

    const Described wordy = Describe("2936-R SN12345", std::string(80, 'M') + " 2936-R 1 d SN12345");
    const std::string cut = InstanceName(wordy, "lab-host");
    EXPECT_EQ(cut.size(), kInstanceNameMax);
    EXPECT_EQ(cut.substr(cut.size() - 12), " on lab-host");

    // A host name too long for any instrument: cut, but never inside a character.
    const std::string host = std::string(62, 'h') + "\xc3\xa9";
    const std::string hostOnly = InstanceName(vorn, host);
    EXPECT_EQ(hostOnly, std::string(62, 'h'));
}

TEST(ServiceNames, TxtRecordsLeaveOutWhatIsUnknownAndFitTheirBound)
{
    const Described none = Describe("2936-R SN12345", "");
    EXPECT_EQ(Txt(none, "txtvers"), "1");
    EXPECT_EQ(Txt(none, "Manufacturer"), "(none)");
    EXPECT_EQ(Txt(none, "FirmwareVersion"), "(none)");
    EXPECT_EQ(Txt(none, "Device"), "2936-R_SN12345");

    Described huge = none;
    huge.manufacturer = std::string(300, 'V');
    EXPECT_EQ(std::string("Manufacturer=").size() + Txt(huge, "Manufacturer").size(), 255u);
}

} // namespace
} // namespace ostrel::tool::serve
