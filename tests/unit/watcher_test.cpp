// A watcher whose set-up or clean-up step fails: its line, and nothing left
// behind that would stop the next watcher.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ostrel::test;

TEST(Watcher, EveryFailedStepOfItsLifeIsLoggedAndTheNextWatcherStillStarts)
{
    const std::string docs = UseTempDocuments();
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
        EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
        vorn_usb_uninit_system();
        EXPECT_EQ(CountLog(docs, std::string("DiscoveryThread: Could not ") + c.line), 1) << c.call;
    }
    vorn_usb_SetTraceLog(true);
    EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
    vorn_usb_uninit_system();
    EXPECT_EQ(CountLog(docs, "DiscoveryThread: Exit."), 1) << "a failure left something behind that stops the next watcher";
}

} // namespace
