// A watcher whose set-up or clean-up step fails: its line, and nothing left
// behind that would stop the next watcher.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "platform/posix/handles.h"
#include "support/HotplugSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ostrel::test;

TEST(Watcher, EveryFailedStepOfItsLifeIsLoggedAndTheNextWatcherStillStarts)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    const struct {
        const char *call, *line;
        bool cleanUp; // the watcher ran and ends with its Exit line
    } cases[] = {
        {"CreateEventA", "create event.", false},
        {"RegisterClassExA", "register window class.", false},
        {"CreateWindowExA", "create window.", false},
        {"RegisterDeviceNotificationA", "register for device notification.", false},
        {"UnregisterDeviceNotification", "unregister device notification.", true},
        {"DestroyWindow", "destroy window.", true},
        {"UnregisterClassA", "unregister window class.", true},
    };
    int exits = 0;
    for (const auto &c : cases) {
        const std::string fault = std::string("{\"call\": \"") + c.call + "\", \"error\": 5, \"times\": 1}";
        ASSERT_EQ(ostrel_sim_inject_fault(fault.c_str()), 0);
        EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
        vorn_usb_uninit_system();
        // Uninit does not wait for the watcher: it cleans up as it ends.
        exits += c.cleanUp;
        EXPECT_TRUE(WaitUntil([&] {
            return CountLog(docs, std::string("DiscoveryThread: Could not ") + c.line) == 1 &&
                   CountLog(docs, "DiscoveryThread: Exit.") == exits;
        })) << c.call;
    }
    EXPECT_EQ(vorn_usb_event_init(0, nullptr), 0);
    vorn_usb_uninit_system();
    EXPECT_TRUE(WaitUntil([&] { return CountLog(docs, "DiscoveryThread: Exit.") == exits + 1; }))
        << "a failure left something behind that stops the next watcher";
}

void OSTREL_CALL ShutDownFromTheWatcher(int, int attached)
{
    if (attached == 1)
        vorn_usb_uninit_system();
}

TEST(Watcher, StoppedFromItsOwnCallbackItReleasesItsThreadAndEventAsItEnds)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetTraceLog(true);
    // A whole round first, so that everything made once per process exists.
    ASSERT_EQ(vorn_usb_event_init(0, nullptr), 0);
    vorn_usb_uninit_system();
    ASSERT_TRUE(WaitUntil([&] { return CountLog(docs, "DiscoveryThread: Exit.") == 1; }));
    const size_t open = ostrel::posix::Handles().Count();

    ASSERT_EQ(vorn_usb_event_init(0, ShutDownFromTheWatcher), 0);
    ASSERT_GE(ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "replies": {"*IDN?": "VORN M S N D SN1\r\n"}})"), 0);
    EXPECT_TRUE(WaitUntil([&] { return CountLog(docs, "DiscoveryThread: Exit.") == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return ostrel::posix::Handles().Count() == open; }))
        << ostrel::posix::Handles().Count() << " handles open, " << open << " before";
}

} // namespace
