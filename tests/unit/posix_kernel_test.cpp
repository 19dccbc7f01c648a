// Last error, system texts, handle validity and fault injection of the POSIX layer.
#include "platform/sim/BenchLayer.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using ostrel::sim::InjectPlatformFault;

template <typename T> DWORD ErrorOf(T result) { return result ? 0 : GetLastError(); } // 0: the call succeeded

// Every match in the layer's declarations, so that a call or code added there is checked too.
std::vector<std::string> Declared(const char *pattern)
{
    std::ifstream in(OSTREL_SOURCE_DIR "/src/platform/posix/winapi_posix.h");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> found;
    const std::regex declaration(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it)
        found.push_back((*it)[1]);
    EXPECT_GE(found.size(), 20u) << pattern;
    return found;
}

TEST(PosixKernel, EveryDeclaredCodeHasItsWindowsText)
{
    for (const std::string &code : Declared(R"(#define ERROR_\w+ (\d+)u)")) {
        char *text = nullptr;
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                            std::stoul(code), 0x0400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_TRUE(std::regex_match(text, text + length, std::regex(R"([A-Z][^\r\n]+\.\r\n)"))) << text;
        EXPECT_EQ(LocalFree(text), nullptr);
    }
}

TEST(PosixKernel, BadHandlesAreRefusedAndFaultsFailAnyDeclaredCallAfterPassesForTimes)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr), closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {closed, HANDLE{}, INVALID_HANDLE_VALUE, HANDLE(&closed), HANDLE(uintptr_t{0x1001})}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(ErrorOf(CloseHandle(bad)), ERROR_INVALID_HANDLE);
        EXPECT_EQ(ErrorOf(SetEvent(bad)), ERROR_INVALID_HANDLE);
        EXPECT_EQ(ErrorOf(WaitForSingleObject(bad, 0) != WAIT_FAILED), ERROR_INVALID_HANDLE);
    }

    for (const std::string &call : Declared(R"(WINAPI\s+(\w+)\s*\()"))
        EXPECT_TRUE(InjectPlatformFault(call, ERROR_GEN_FAILURE, 0, 1)) << call;
    ostrel::sim::ClearPlatformFaults();
    ASSERT_TRUE(InjectPlatformFault("CreateEventA", ERROR_GEN_FAILURE, 2, 2));
    for (int i = 0; i < 5; ++i) {
        HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(ErrorOf(made), i == 2 || i == 3 ? ERROR_GEN_FAILURE : 0u) << i;
        EXPECT_TRUE(made == nullptr || CloseHandle(made)); // other calls pass
    }

    // Release calls made to fail still release (the leak check sees a block kept).
    ASSERT_TRUE(InjectPlatformFault("CloseHandle", ERROR_GEN_FAILURE, 0, 1));
    EXPECT_EQ(ErrorOf(CloseHandle(event)), ERROR_GEN_FAILURE);
    EXPECT_EQ(ErrorOf(CloseHandle(event)), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(InjectPlatformFault("LocalFree", ERROR_INVALID_HANDLE, 0, 0));
    EXPECT_NE(LocalFree(LocalAlloc(LMEM_FIXED, 64)), nullptr);
    EXPECT_NE(LocalFree(LocalAlloc(LMEM_FIXED, 64)), nullptr); // times 0: with no end

    // From many threads at once: no handle value recurs, faults count exactly, last errors stay apart.
    ASSERT_TRUE(InjectPlatformFault("SetEvent", ERROR_GEN_FAILURE, 100, 50));
    std::vector<HANDLE> made[4];
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    SetLastError(ERROR_ACCESS_DENIED);
    for (auto &handles : made)
        threads.emplace_back([&] {
            EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
            for (int i = 0; i < 100; ++i) {
                handles.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
                failures += SetEvent(handles.back()) ? 0 : 1;
                CloseHandle(handles.back());
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(failures.load(), 50);
    std::set<HANDLE> distinct;
    for (const auto &handles : made)
        distinct.insert(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), 400u);
    ostrel::sim::ClearPlatformFaults();
}

} // namespace
