// Plumbing shared by the files of the POSIX layer; not part of the Windows subset.
#pragma once

#include "platform/ExceptionBoundary.h"
#include "platform/posix/handles.h"
#include "platform/posix/winapi_posix.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ostrel::posix {

// Codes the layer reports that the core never names.
constexpr DWORD kErrorDiskFull = 112;              // ERROR_DISK_FULL
constexpr DWORD kErrorInvalidName = 123;           // ERROR_INVALID_NAME
constexpr DWORD kErrorModNotFound = 126;           // ERROR_MOD_NOT_FOUND
constexpr DWORD kErrorMrMidNotFound = 317;         // ERROR_MR_MID_NOT_FOUND
constexpr DWORD kErrorCannotFindWndClass = 1407;   // ERROR_CANNOT_FIND_WND_CLASS
constexpr DWORD kQsSendMessage = 0x40;             // QS_SENDMESSAGE

// Sets the calling thread's last error without passing through the fault
// check of SetLastError (faults themselves set the code this way).
void StoreLastError(DWORD code);

// Runs the part of a call that allocates. An exception (out of memory, or a
// thread the system cannot start) fails the call as Windows does: the last
// error becomes ERROR_NOT_ENOUGH_MEMORY, and the result is false.
template <class Body>
bool Allocating(Body &&body)
{
    return CatchAll(std::forward<Body>(body), [] { StoreLastError(ERROR_NOT_ENOUGH_MEMORY); });
}

// The memory LocalAlloc hands out and LocalFree releases, for the layer's own
// allocations (FormatMessageA) that must not count as calls of LocalAlloc.
HLOCAL AllocateLocal(SIZE_T bytes, bool zeroed);

// One mutex and one condition variable for every wait of the layer: all
// signalled states (events, thread ends, message queues) change under the
// mutex and are announced with notify_all, so a waiter can never miss one.
// Waking every waiter for every change is cheap at the few threads we have.
struct WaitState {
    std::mutex mutex;
    std::condition_variable changed;
};
WaitState &Waits();

// Something WaitForSingleObject and MsgWaitForMultipleObjects can wait on.
// Both members are called with Waits().mutex held.
class Waitable : public HandleObject {
public:
    virtual bool Signalled() const = 0;
    // A successful wait consumes the signal of an auto-reset object.
    virtual void Acquire() {}
};

// CloseHandle refuses windows, device notifications and searches as well.
using calls::NotKernelObject;

// Resolves handles to waitable objects; false (ERROR_INVALID_HANDLE set) if
// one is not open or cannot be waited on.
bool LookupWaitables(DWORD count, const HANDLE *handles, std::vector<std::shared_ptr<Waitable>> &objects);

// Waits until one of `objects` is signalled (WAIT_OBJECT_0 + its index; the
// first in order wins), else until `input` holds (WAIT_OBJECT_0 + count), else
// until the time-out (WAIT_TIMEOUT). `input` runs with Waits().mutex held.
DWORD WaitForAny(const std::vector<std::shared_ptr<Waitable>> &objects, DWORD milliseconds,
                 const std::function<bool()> &input);

// The executable's module, which is never unloaded.
HMODULE MainModule();

// Destroys the calling thread's windows without messages, as Windows does when
// a thread ends; called before a thread's handle is signalled.
void EndThreadMessaging();

} // namespace ostrel::posix
