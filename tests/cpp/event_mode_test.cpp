// ostrel.hpp's event mode: any callable, called back into the library, and never called once the
// EventMode is gone - destroyed while its handler runs, from inside it, or after it threw.
#include "ostrel.hpp"

#include "api/api_session.h"

#include <atomic>
#include <future>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

int PlugMeter(const std::string &serial)
{
    return Plug({.serial = serial, .idn = Idn("2936-R", serial), .replies = {{"V?", serial + "\r\n"}}});
}

// What a handler saw, safe to read from the test's thread.
struct Seen {
    void add(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    }
    std::vector<std::string> get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    bool has(const std::string &line)
    {
        return WaitUntil([&] {
            const std::vector<std::string> now = get();
            return std::find(now.begin(), now.end(), line) != now.end();
        });
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class Monitor {
public:
    void OnEvent(const Event &event) { seen.add((event.arrived ? "+" : "-") + event.key); }
    Seen seen;
};

class CppEventModeTest : public ApiTest {};

TEST_F(CppEventModeTest, AnyCallableFollowsPlugsAndUnplugsAndMayCallTheLibrary)
{
    PlugMeter("SN1");
    Seen seen;
    const std::thread::id constructor = std::this_thread::get_id();
    std::atomic<bool> onConstructor{false};
    {
        EventMode events([&](const Event &event) {
            if (event.key == "2936-R SN1")
                onConstructor = std::this_thread::get_id() == constructor;
            seen.add((event.arrived ? "+" + Instrument(event.key).query("V?") : "-" + event.key) + " " +
                     std::to_string(event.id));
        });
        EXPECT_EQ(seen.get(), std::vector<std::string>{"+SN1 0"});
        EXPECT_TRUE(onConstructor);
        const int slot = PlugMeter("SN2");
        EXPECT_TRUE(seen.has("+SN2 1"));
        ASSERT_EQ(ostrel_sim_unplug(slot), 0);
        EXPECT_TRUE(seen.has("-2936-R SN2 1"));

        const Result<std::unique_ptr<EventMode>> second = EventMode::try_start([](const Event &) {});
        EXPECT_EQ(second.error(), errc::event_mode_busy);
        EXPECT_EQ(Instrument("2936-R SN1").query("V?"), "SN1"); // the refused one stopped nothing
    }
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);

    Monitor monitor;
    std::unique_ptr<EventMode> member = std::make_unique<EventMode>(&Monitor::OnEvent, &monitor);
    EXPECT_EQ(monitor.seen.get(), std::vector<std::string>{"+2936-R SN1"});
    member.reset();
    PlugMeter("SN3");
    const Result<std::unique_ptr<EventMode>> again = EventMode::try_start([&](const Event &e) { seen.add(e.key); });
    ASSERT_TRUE(again);
    EXPECT_TRUE(seen.has("2936-R SN3"));
    EXPECT_EQ(monitor.seen.get().size(), 1u);
}

TEST_F(CppEventModeTest, DestructionWaitsForTheHandlerUnderWayExceptItsOwn)
{
    PlugMeter("SN1");
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    auto events = std::make_unique<EventMode>([&](const Event &event) {
        if (event.key == "2936-R SN2" && calls++ == 0) {
            entered.set_value();
            released.wait();
        }
    });
    PlugMeter("SN2");
    ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
    std::future<void> destroyed = std::async(std::launch::async, [&] { events.reset(); });
    EXPECT_EQ(destroyed.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(destroyed.wait_for(kPatience), std::future_status::ready);

    // From inside its own handler (a removal on the watcher): it returns, and stops event mode.
    const int slot = PlugMeter("SN3");
    std::atomic<bool> returned{false};
    events = std::make_unique<EventMode>([&](const Event &event) {
        if (!event.arrived) {
            events.reset();
            returned = true;
        }
    });
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
}

TEST_F(CppEventModeTest, AHandlerThatThrowsIsReportedAndTheNextEventStillComes)
{
    Seen seen;
    EventOptions options;
    options.on_error = [&](const Event &event, std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::runtime_error &error) {
            seen.add(event.key + ": " + error.what());
        }
    };
    EventMode events([&](const Event &event) { throw std::runtime_error("refused " + event.key); }, options);
    PlugMeter("SN1");
    PlugMeter("SN2");
    EXPECT_TRUE(seen.has("2936-R SN1: refused 2936-R SN1"));
    EXPECT_TRUE(seen.has("2936-R SN2: refused 2936-R SN2"));
    events.stop();

    // Without on_error the report goes to stderr.
    PlugMeter("SN3");
    ::testing::internal::CaptureStderr();
    EventMode quiet([](const Event &) { throw 7; });
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "ostrel::EventMode: the handler threw on the arrival of 2936-R SN1 (ID 0): an exception that is no "
                  "std::exception"),
              std::string::npos);
}

} // namespace
} // namespace ostrel::test
