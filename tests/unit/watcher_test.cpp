// The watcher thread's exit code, which nothing outside the library reads.
#include "discovery/Discover.h"
#include "facade/USB.h"
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace ostrel::test;

// Runs event mode once and stops it; the watcher's exit code, kept in its state, which outlives the thread.
DWORD WatcherExitCode()
{
    EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
    USB *usb = USB::GetInstance();
    const std::shared_ptr<WatcherControl> watcher = usb != nullptr ? usb->discover.CurrentWatcher() : nullptr;
    vorn_usb_uninit_system();
    return watcher ? static_cast<DWORD>(watcher->exitCode) : 12345;
}

TEST(Watcher, ExitCodeIsZeroAfterACleanStopAndAllOnesAfterAFailedSetUpOrCleanUpStep)
{
    const std::string docs = UseTempDocuments();
    EXPECT_EQ(WatcherExitCode(), 0u);
    const struct {
        const char *call, *line;
    } cases[] = {
        {"CreateEventA", "create event."},
        {"RegisterClassExA", "register window class."},
        {"CreateWindowExA", "create window."},
        {"RegisterDeviceNotificationA", "register for device notification."},
        {"UnregisterDeviceNotification", "unregister device notification."},
        {"DestroyWindow", "destroy window."},
        {"UnregisterClassA", "unregister window class."},
    };
    for (const auto &c : cases) {
        const std::string fault = std::string("{\"call\": \"") + c.call + "\", \"error\": 5, \"times\": 1}";
        ASSERT_EQ(ostrel_sim_inject_fault(fault.c_str()), 0);
        EXPECT_EQ(WatcherExitCode(), 0xFFFFFFFFu) << c.call;
        EXPECT_EQ(CountLog(docs, std::string("DiscoveryThread: Could not ") + c.line), 1) << c.call;
    }
    EXPECT_EQ(WatcherExitCode(), 0u) << "a failure left something behind that stops the next watcher";
}

} // namespace
