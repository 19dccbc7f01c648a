// Kernel basics of the POSIX layer: local memory, CloseHandle, time, ids, Sleep.
#include "platform/BenchHooks.h"
#include "platform/posix/handles.h"
#include "platform/posix/internal.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace ostrel::posix {

HLOCAL AllocateLocal(SIZE_T bytes, bool zeroed)
{
    // Windows gives a valid block for 0 bytes; malloc(0) may give null.
    const SIZE_T size = bytes == 0 ? 1 : bytes;
    return zeroed ? std::calloc(1, size) : std::malloc(size);
}

namespace {

constexpr UINT kLocalZeroInit = 0x40; // LMEM_ZEROINIT
constexpr UINT kLocalMoveable = 0x2;  // LMEM_MOVEABLE

bool IsKernelObject(const HandleObject &object)
{
    return dynamic_cast<const NotKernelObject *>(&object) == nullptr;
}

} // namespace
} // namespace ostrel::posix

using ostrel::posix::StoreLastError;

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    if (ostrel::hooks::FaultHit("LocalAlloc"))
        return nullptr;
    // A moveable block is a handle to lock before use; nothing here needs one.
    if (flags & ostrel::posix::kLocalMoveable) {
        StoreLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HLOCAL memory = ostrel::posix::AllocateLocal(bytes, (flags & ostrel::posix::kLocalZeroInit) != 0);
    if (memory == nullptr)
        StoreLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL memory)
{
    const bool fail = ostrel::hooks::FaultHit("LocalFree");
    // Failure hands the block's value back, as Windows does; the block is freed
    // all the same, so the value is only something to compare with null.
    const auto value = reinterpret_cast<uintptr_t>(memory);
    std::free(memory);
    return fail ? reinterpret_cast<HLOCAL>(value) : nullptr;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    const bool fail = ostrel::hooks::FaultHit("CloseHandle");
    if (!ostrel::posix::CloseHandleOf(handle, ostrel::posix::IsKernelObject)) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return fail ? FALSE : TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME time)
{
    if (ostrel::hooks::FaultHit("GetLocalTime") || time == nullptr)
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second (60) is folded into 59, which Windows' SYSTEMTIME allows.
    time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

DWORD WINAPI GetCurrentProcessId()
{
    if (ostrel::hooks::FaultHit("GetCurrentProcessId"))
        return 0;
    return static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentThreadId()
{
    if (ostrel::hooks::FaultHit("GetCurrentThreadId"))
        return 0;
    // The kernel's id (as ps and gdb show it) rather than pthread_self(), so log
    // lines can be matched with the system's tools.
    static thread_local const DWORD id = static_cast<DWORD>(gettid());
    return id;
}

void WINAPI Sleep(DWORD milliseconds)
{
    if (ostrel::hooks::FaultHit("Sleep"))
        return;
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
