// The logging and trace switches: one pair for the process, set through
// vorn_usb_SetLogging and vorn_usb_SetTraceLog and read by every writer of
// data and trace lines, on any thread.
#pragma once

#include <atomic>

struct LogSwitches {
    std::atomic<bool> logging{false};
    std::atomic<bool> trace{false};
};
