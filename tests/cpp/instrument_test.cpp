// ostrel.hpp's listings and instruments on the bench: values, both error forms, deadlines above the
// library's one-second reads, replies that outlive the read that gave up on them.
#include "ostrel.hpp"

#include "api/api_session.h"

#include <filesystem>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Key "2936-R <serial>"; replies as given.
int PlugMeter(const std::string &serial, std::vector<std::pair<std::string, std::string>> replies = {})
{
    return Plug({.serial = serial, .idn = Idn("2936-R", serial), .replies = std::move(replies)});
}

std::string ErrorText(const std::function<void()> &call, std::error_code expected)
{
    try {
        call();
    } catch (const Error &error) {
        EXPECT_EQ(error.code(), expected) << error.what();
        return error.what();
    }
    ADD_FAILURE() << "no exception";
    return "";
}

class CppInstrumentTest : public ApiTest {};

TEST_F(CppInstrumentTest, ListsTheTableAsValuesAndFindsInstrumentsByKeyOrId)
{
    EXPECT_TRUE(instruments().empty());
    PlugMeter("SN3");
    // An identity holding ';' and "<digit>,", and one longer than the library's entries, which it cuts.
    Plug({.pid = 0x2940, .serial = "SN1", .idn = "VORN 2940-T A;1,B SN1\r\n"});
    const std::string longIdn = "VORN 2955-L " + std::string(46, 'x') + " SN2";
    Plug({.pid = 0x2955, .serial = "SN2", .idn = longIdn + "\r\n"});
    const std::vector<InstrumentInfo> rows = discover();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].key, "2936-R SN3");
    EXPECT_EQ(std::make_tuple(rows[0].model, rows[0].serial, rows[0].identity),
              std::make_tuple(2936, 3, std::string("VORN 2936-R 1.0.3 01/02/24 SN3")));
    EXPECT_EQ(rows[1].identity, "VORN 2940-T A;1,B SN1");
    const std::string idPrefix = std::to_string(rows[2].id) + ",";
    EXPECT_EQ(rows[2].identity, longIdn.substr(0, 62 - idPrefix.size()));
    EXPECT_EQ(instruments().size(), 3u);

    EXPECT_EQ(Instrument(rows[1].id).key(), rows[1].key);
    EXPECT_EQ(Instrument(rows[2].key).id(), rows[2].id);
    const std::string missing = ErrorText([] { Instrument("2936-R SN9"); }, errc::no_such_instrument);
    EXPECT_EQ(missing, "open [2936-R SN9]: not in the device table (discover first?)");
    EXPECT_THROW(Instrument(77), NoSuchInstrument);
    const Result<Instrument> none = Instrument::open("nothing");
    EXPECT_FALSE(none);
    EXPECT_EQ(none.error(), errc::no_such_instrument);
    EXPECT_EQ(none.failure()->instrument, "nothing");
}

TEST_F(CppInstrumentTest, CarriesTextAndBinaryBlocksAndKeepsWhatIsNotReadYet)
{
    const std::string block("#15a\0b\r\n", 8); // a 488.2 block with a NUL and a line end inside
    const std::string big(70000, 'z');         // more than one library read takes
    const int slot = PlugMeter("SN1", {{"V?", "1.5\r\nrest"}, {"BLK?", block + "\n"}, {"BIG?", big + "\n"}});
    discover();
    const Instrument meter("2936-R SN1");
    EXPECT_EQ(meter.query("V?"), "1.5");
    meter.write("BLK?");
    EXPECT_EQ(meter.read_binary(3), std::vector<std::uint8_t>({'#', '1', '5'}));
    const std::vector<std::uint8_t> rest = meter.read_binary(6);
    EXPECT_EQ(std::string(rest.begin(), rest.end()), block.substr(3) + "\n");
    EXPECT_EQ(meter.query("BIG?", 5s), big);

    meter.write_binary(std::string("\x01\0\x02", 3));
    meter.write_binary(std::vector<std::uint8_t>{});
    meter.write("X\r");
    EXPECT_EQ(Received(slot).substr(Received(slot).size() - 8), std::string("BIG?\r\x01\0\x02X\r", 10).substr(2));
    EXPECT_EQ(meter.try_write(std::string_view("A\0B", 3)).error(), errc::invalid_argument);
}

TEST_F(CppInstrumentTest, DeadlinesHoldAboveTheLibrarysOneSecondReads)
{
    ASSERT_GE(ostrel_sim_plug(R"({"vid": 6699, "pid": 10550, "serial": "SN1", "replies": {
        "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN1\r\n",
        "SLOW?": {"reply": "late\r\n", "delay_ms": 600},
        "SLOWER?": {"reply": "later\r\n", "delay_ms": 1500}}})"), 0);
    discover();
    const Instrument meter("2936-R SN1");
    // A deadline shorter than one read: the caller gets its time-out then, and the read goes on.
    auto started = Clock::now();
    const Result<std::string> early = meter.try_query("SLOW?", 150ms);
    EXPECT_EQ(early.error(), errc::timeout);
    EXPECT_LT(Clock::now() - started, 550ms);
    EXPECT_EQ(Instrument("2936-R SN1").read(2s), "late"); // to whichever object of that key reads next
    // Longer than one read: the header reads again until the deadline.
    EXPECT_EQ(meter.query("SLOWER?", 3s), "later");
    started = Clock::now();
    const std::string text = ErrorText([&] { meter.query("UNKNOWN?", 1200ms); }, errc::timeout);
    EXPECT_GE(Clock::now() - started, 1200ms);
    EXPECT_EQ(text, "vorn_usb_read_by_key [2936-R SN1]: nothing came within 1200 ms");
    EXPECT_THROW(meter.read(100ms), Timeout);
}

TEST_F(CppInstrumentTest, AnInstrumentUnpluggedIsGoneForEveryTransfer)
{
    const int slot = PlugMeter("SN1", {{"V?", "1\r\n"}});
    discover();
    const Instrument meter("2936-R SN1");
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    ASSERT_TRUE(WaitUntil([] { return vorn_usb_init_system() == 0 && vorn_usb_GetDeviceCount() == 0; }));
    EXPECT_EQ(meter.try_write("V?").error(), errc::instrument_gone);
    EXPECT_THROW(meter.read(5s), InstrumentGone);
    EXPECT_EQ(meter.try_id().error(), errc::instrument_gone);
}

TEST_F(CppInstrumentTest, TheLogGoesToTheFolderChosenBeforeTheFirstCall)
{
    const std::string folder = documents + "/chosen";
    set_log_folder(folder);
    set_logging(true);
    EXPECT_EQ(os_name(), "Linux");
    EXPECT_TRUE(std::filesystem::exists(LogPath(documents).replace(0, documents.size() + 4, folder)));
}

} // namespace
} // namespace ostrel::test
