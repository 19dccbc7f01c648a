// Events, threads and waits of the POSIX layer.
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(PosixSync, ManualResetStaysSignalledAutoResetServesOneWait)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);

    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr), woke = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    // One SetEvent releases one of two waiting threads; the other keeps waiting.
    auto waiter = [&] { EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0); SetEvent(woke); };
    std::thread first(waiter), second(waiter);
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(SetEvent(automatic));
        EXPECT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    }
    first.join(), second.join();
    for (HANDLE event : {manual, automatic, woke})
        EXPECT_TRUE(CloseHandle(event));

    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\stop"), nullptr); // shared between processes: not offered
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

struct Gate {
    HANDLE open = CreateEventA(nullptr, TRUE, FALSE, nullptr), passed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

DWORD WINAPI PassGate(LPVOID parameter)
{
    auto *gate = static_cast<Gate *>(parameter);
    SetEvent(WaitForSingleObject(gate->open, INFINITE) == WAIT_OBJECT_0 ? gate->passed : nullptr);
    return GetCurrentThreadId(); // its own ID, as its exit code
}

TEST(PosixSync, AThreadIsActiveUntilItsRoutineReturnsAndOutlivesItsHandle)
{
    Gate kept, closed;
    DWORD id = 0, code = 0;
    HANDLE thread = CreateThread(nullptr, 0, PassGate, &kept, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(CreateThread(nullptr, 0, PassGate, &closed, 0, nullptr)));
    SetEvent(closed.open);
    EXPECT_EQ(WaitForSingleObject(closed.passed, INFINITE), WAIT_OBJECT_0);

    SetEvent(kept.open);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, id);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // not consumed like an auto-reset event
    for (HANDLE handle : {thread, kept.open, kept.passed, closed.open, closed.passed})
        EXPECT_TRUE(CloseHandle(handle));
}

} // namespace
