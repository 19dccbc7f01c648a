// Last error, system texts, handle validity and fault injection of the POSIX layer.
#include "platform/posix/faults.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kSystemTextFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS;

class PosixFaults : public ::testing::Test {
protected:
    void TearDown() override { ostrel::posix::ClearFaults(); }
};

TEST(PosixErrors, LastErrorBelongsToEachThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_GEN_FAILURE);
    }).join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(PosixErrors, FormatMessageGivesWindowsTextsAndFailsForUnknownCodes)
{
    const struct {
        DWORD code;
        const char *text;
    } expected[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_BAD_COMMAND, "The device does not recognize the command.\r\n"},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
        {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
        {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
        {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
        {ERROR_NOT_FOUND, "Element not found.\r\n"},
        {ERROR_CLASS_ALREADY_EXISTS, "Class already exists.\r\n"},
    };
    for (const auto &entry : expected) {
        char *text = nullptr;
        const DWORD length = FormatMessageA(kSystemTextFlags, nullptr, entry.code, 0x0400,
                                            reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << entry.code;
        EXPECT_EQ(std::string(text), entry.text);
        EXPECT_EQ(length, std::string(entry.text).size());
        EXPECT_EQ(LocalFree(text), nullptr);
    }

    // Every code the header defines has a text.
    for (DWORD code : {ERROR_SUCCESS, ERROR_PATH_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY,
                       ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_ALREADY_EXISTS,
                       ERROR_OPERATION_ABORTED, ERROR_IO_PENDING, ERROR_NO_MORE_FILES, ERROR_OLD_WIN_VERSION,
                       ERROR_INVALID_WINDOW_HANDLE, ERROR_CLASS_DOES_NOT_EXIST, ERROR_CLASS_HAS_WINDOWS,
                       ERROR_INVALID_USER_BUFFER, ERROR_RESOURCE_TYPE_NOT_FOUND}) {
        char *text = nullptr;
        EXPECT_GT(FormatMessageA(kSystemTextFlags, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr), 2u)
            << code;
        LocalFree(text);
    }

    char *text = nullptr;
    EXPECT_EQ(FormatMessageA(kSystemTextFlags, nullptr, 0xDEAD, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 317u); // ERROR_MR_MID_NOT_FOUND
    EXPECT_EQ(text, nullptr);

    // Into the caller's buffer: it must hold the terminator too.
    char small[19];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    char exact[20];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, exact, 20, nullptr), 19u);
    EXPECT_STREQ(exact, "Access is denied.\r\n");
}

TEST(PosixHandles, ClosedForeignAndWrongKindHandlesAreRefused)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(event, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A new handle never takes the value of a closed one.
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(next, event);

    int foreign = 0;
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&foreign),
                       reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1001))}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }

    // An event is not a thread.
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(next, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(next));
}

TEST(PosixHandles, ValuesStayUniqueUnderConcurrentUse)
{
    constexpr int kThreads = 4;
    constexpr int kHandles = 200;
    std::vector<std::vector<HANDLE>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&kept, t] {
            for (int i = 0; i < kHandles; ++i) {
                HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                kept[t].push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
                CloseHandle(closed);
                kept[t].push_back(closed);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    std::set<HANDLE> distinct;
    for (const auto &handles : kept)
        distinct.insert(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kHandles * 2));
    int open = 0;
    for (const auto &handles : kept)
        for (HANDLE handle : handles)
            open += CloseHandle(handle) ? 1 : 0;
    EXPECT_EQ(open, kThreads * kHandles);
}

TEST_F(PosixFaults, EveryDeclaredCallCanBeNamed)
{
    std::string header = __FILE__;
    header = header.substr(0, header.rfind("tests/unit/")) + "src/platform/posix/winapi_posix.h";
    std::ifstream in(header);
    ASSERT_TRUE(in) << header;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex declaration(R"(WINAPI\s+(\w+)\s*\()");
    int calls = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it, ++calls)
        EXPECT_TRUE(ostrel::posix::InjectFault((*it)[1].str(), ERROR_GEN_FAILURE, 0, 1)) << (*it)[1].str();
    EXPECT_GE(calls, 50);
    EXPECT_FALSE(ostrel::posix::InjectFault("NoSuchCall", ERROR_GEN_FAILURE, 0, 1));
    EXPECT_FALSE(ostrel::posix::InjectFault("createeventa", ERROR_GEN_FAILURE, 0, 1));
}

TEST_F(PosixFaults, FailsAfterThePassesForTheGivenTimesThenRecovers)
{
    ASSERT_TRUE(ostrel::posix::InjectFault("CreateEventA", ERROR_GEN_FAILURE, 2, 2));
    std::vector<HANDLE> made;
    for (int i = 0; i < 5; ++i) {
        SetLastError(ERROR_SUCCESS);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const bool shouldFail = i == 2 || i == 3;
        EXPECT_EQ(event == nullptr, shouldFail) << i;
        EXPECT_EQ(GetLastError(), shouldFail ? ERROR_GEN_FAILURE : ERROR_SUCCESS) << i;
        if (event != nullptr)
            made.push_back(event);
    }
    // Other calls are untouched by it.
    for (HANDLE event : made)
        EXPECT_TRUE(CloseHandle(event));

    ASSERT_TRUE(ostrel::posix::InjectFault("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 0, 0));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    ostrel::posix::ClearFaults();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(event, nullptr);
    CloseHandle(event);
}

TEST_F(PosixFaults, CountsExactlyWhenCallsComeFromManyThreads)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(ostrel::posix::InjectFault("SetEvent", ERROR_GEN_FAILURE, 100, 50));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                if (!SetEvent(event))
                    ++failures;
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 50);
    CloseHandle(event);
}

TEST_F(PosixFaults, ReleaseCallsStillReleaseWhenMadeToFail)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(ostrel::posix::InjectFault("CloseHandle", ERROR_GEN_FAILURE, 0, 1));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The sanitizer's leak check fails the test if the block stays allocated.
    ASSERT_TRUE(ostrel::posix::InjectFault("LocalFree", ERROR_INVALID_HANDLE, 0, 1));
    HLOCAL memory = LocalAlloc(LMEM_FIXED, 64);
    ASSERT_NE(memory, nullptr);
    EXPECT_NE(LocalFree(memory), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
