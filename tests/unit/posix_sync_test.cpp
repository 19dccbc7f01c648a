// Events, threads and waits of the POSIX layer.
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(PosixSync, ManualResetStaysSignalledAutoResetServesOneWait)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

    // One SetEvent releases one of two waiting threads; the other keeps waiting.
    HANDLE woke = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto waiter = [&] {
        EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
        SetEvent(woke);
    };
    std::thread first(waiter);
    std::thread second(waiter);
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
    first.join();
    second.join();
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(woke));

    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
}

struct Gate {
    HANDLE open;
    HANDLE done;
    DWORD seenId;
};

DWORD WINAPI WaitAtGate(LPVOID parameter)
{
    auto *gate = static_cast<Gate *>(parameter);
    gate->seenId = GetCurrentThreadId();
    WaitForSingleObject(gate->open, INFINITE);
    if (gate->done != nullptr)
        SetEvent(gate->done);
    return 42;
}

TEST(PosixSync, ThreadHandleIsStillActiveUntilTheRoutineReturns)
{
    Gate gate{CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr, 0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    SetEvent(gate.open);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(gate.seenId, id);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    // A thread stays signalled; it is not consumed like an auto-reset event.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(gate.open));
}

TEST(PosixSync, ClosingTheHandleOfARunningThreadLeavesItRunning)
{
    Gate gate{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    SetEvent(gate.open);
    EXPECT_EQ(WaitForSingleObject(gate.done, INFINITE), WAIT_OBJECT_0);
    CloseHandle(gate.open);
    CloseHandle(gate.done);
}

TEST(PosixSync, WaitsTimeOutAndRefuseWhatCannotBeWaitedOn)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Named events would be shared between processes; that is not offered.
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\stop"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

} // namespace
