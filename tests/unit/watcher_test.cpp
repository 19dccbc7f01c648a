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

// Starts event mode and keeps the watcher's state, which outlives the thread.
std::shared_ptr<WatcherControl> StartWatcher()
{
    EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
    USB *usb = USB::GetInstance();
    return usb != nullptr ? usb->discover.CurrentWatcher() : nullptr;
}

TEST(Watcher, ExitCodeIsZeroAfterEveryCleanStop)
{
    UseTempDocuments();
    for (int round = 0; round < 2; ++round) {
        std::shared_ptr<WatcherControl> watcher = StartWatcher();
        ASSERT_TRUE(watcher);
        vorn_usb_uninit_system();
        const DWORD code = watcher->exitCode;
        EXPECT_EQ(code, 0u) << "round " << round;
    }
}

TEST(Watcher, ExitCodeIsAllOnesAfterAFailedSetUpOrCleanUpStep)
{
    struct Case {
        const char *call;
        const char *line;
    };
    const Case cases[] = {
        {"CreateEventA", "DiscoveryThread: Could not create event."},
        {"RegisterClassExA", "DiscoveryThread: Could not register window class."},
        {"CreateWindowExA", "DiscoveryThread: Could not create window."},
        {"RegisterDeviceNotificationA", "DiscoveryThread: Could not register for device notification."},
        {"UnregisterDeviceNotification", "DiscoveryThread: Could not unregister device notification."},
        {"DestroyWindow", "DiscoveryThread: Could not destroy window."},
        {"UnregisterClassA", "DiscoveryThread: Could not unregister window class."},
    };
    const std::string docs = UseTempDocuments();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        const std::string fault = std::string("{\"call\": \"") + c.call + "\", \"error\": 5, \"times\": 1}";
        ASSERT_EQ(ostrel_sim_inject_fault(fault.c_str()), 0);
        std::shared_ptr<WatcherControl> watcher = StartWatcher();
        ASSERT_TRUE(watcher);
        vorn_usb_uninit_system();
        const DWORD code = watcher->exitCode;
        EXPECT_EQ(code, 0xFFFFFFFFu);
        EXPECT_EQ(CountLog(docs, c.line), 1);
    }
    // None of the failures left anything behind that stops the next watcher.
    std::shared_ptr<WatcherControl> watcher = StartWatcher();
    ASSERT_TRUE(watcher);
    vorn_usb_uninit_system();
    const DWORD code = watcher->exitCode;
    EXPECT_EQ(code, 0u);
}

} // namespace
