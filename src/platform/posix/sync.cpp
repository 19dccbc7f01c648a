// Events, threads and the waits on them.
#include "platform/BenchHooks.h"
#include "platform/posix/handles.h"
#include "platform/posix/internal.h"

#include <chrono>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace ostrel::posix {
namespace {

class Event : public Waitable {
public:
    Event(bool manualReset, bool signalled) : manualReset(manualReset), signalled(signalled) {}

    bool Signalled() const override { return signalled; }
    void Acquire() override
    {
        if (!manualReset)
            signalled = false;
    }

    const bool manualReset;
    bool signalled; // under Waits().mutex
};

// The state of a thread started by CreateThread. The running thread holds a
// reference of its own, so closing the handle early frees nothing it uses.
class Thread : public Waitable {
public:
    bool Signalled() const override { return finished; }

    // Under Waits().mutex.
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
};

void SetSignalled(Event &event, bool signalled)
{
    WaitState &waits = Waits();
    {
        std::lock_guard<std::mutex> lock(waits.mutex);
        event.signalled = signalled;
    }
    if (signalled)
        waits.changed.notify_all();
}

// The thread CreateThread started that runs here, for ExitThread.
thread_local Thread *currentThread = nullptr;

// The end of a thread, whether its routine returned or it called ExitThread.
void FinishThread(Thread &self, DWORD exitCode)
{
    // Windows destroys a thread's windows before its handle is signalled, so a
    // waiter may unregister their class at once.
    EndThreadMessaging();
    WaitState &waits = Waits();
    {
        std::lock_guard<std::mutex> lock(waits.mutex);
        self.exitCode = exitCode;
        self.finished = true;
    }
    waits.changed.notify_all();
}

void RunThread(const std::shared_ptr<Thread> &self, LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    WaitState &waits = Waits();
    {
        std::lock_guard<std::mutex> lock(waits.mutex);
        // Not GetCurrentThreadId(): an injected fault there must not hang CreateThread.
        self->id = static_cast<DWORD>(gettid());
    }
    waits.changed.notify_all();
    currentThread = self.get();
    FinishThread(*self, routine(parameter));
}

} // namespace

WaitState &Waits()
{
    // Never destroyed: a thread may still wait while the process ends.
    static WaitState *waits = new WaitState;
    return *waits;
}

bool LookupWaitables(DWORD count, const HANDLE *handles, std::vector<std::shared_ptr<Waitable>> &objects)
{
    objects.clear();
    for (DWORD i = 0; i < count; ++i) {
        auto object = LookupHandleAs<Waitable>(handles[i]);
        if (object == nullptr) {
            StoreLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        objects.push_back(std::move(object));
    }
    return true;
}

DWORD WaitForAny(const std::vector<std::shared_ptr<Waitable>> &objects, DWORD milliseconds,
                 const std::function<bool()> &input)
{
    WaitState &waits = Waits();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(waits.mutex);
    for (;;) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->Signalled()) {
                objects[i]->Acquire();
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        }
        if (input && input())
            return WAIT_OBJECT_0 + static_cast<DWORD>(objects.size());
        if (milliseconds == INFINITE)
            waits.changed.wait(lock);
        else if (std::chrono::steady_clock::now() >= deadline)
            return WAIT_TIMEOUT;
        else
            waits.changed.wait_until(lock, deadline);
    }
}

} // namespace ostrel::posix

using ostrel::posix::StoreLastError;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (ostrel::hooks::FaultHit("CreateEventA"))
        return nullptr;
    // A named event would be shared with other processes; none is needed here,
    // and an unnamed one in its place would silently break that sharing.
    if (name != nullptr) {
        StoreLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE event = nullptr;
    ostrel::posix::Allocating([&] {
        event = ostrel::posix::InsertHandle(
            std::make_shared<ostrel::posix::Event>(manualReset != FALSE, initialState != FALSE));
    });
    return event;
}

BOOL WINAPI SetEvent(HANDLE event)
{
    if (ostrel::hooks::FaultHit("SetEvent"))
        return FALSE;
    auto object = ostrel::posix::LookupHandleAs<ostrel::posix::Event>(event);
    if (object == nullptr) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ostrel::posix::SetSignalled(*object, true);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event)
{
    if (ostrel::hooks::FaultHit("ResetEvent"))
        return FALSE;
    auto object = ostrel::posix::LookupHandleAs<ostrel::posix::Event>(event);
    if (object == nullptr) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ostrel::posix::SetSignalled(*object, false);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (ostrel::hooks::FaultHit("WaitForSingleObject"))
        return WAIT_FAILED;
    std::vector<std::shared_ptr<ostrel::posix::Waitable>> objects;
    if (!ostrel::posix::LookupWaitables(1, &handle, objects))
        return WAIT_FAILED;
    return ostrel::posix::WaitForAny(objects, milliseconds, nullptr);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                           DWORD flags, LPDWORD threadId)
{
    if (ostrel::hooks::FaultHit("CreateThread"))
        return nullptr;
    constexpr DWORD kCreateSuspended = 0x4;
    if (routine == nullptr || (flags & kCreateSuspended)) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    using ostrel::posix::Thread;
    std::shared_ptr<Thread> thread;
    HANDLE handle = nullptr;
    const bool started = ostrel::posix::Allocating([&] {
        thread = std::make_shared<Thread>();
        handle = ostrel::posix::InsertHandle(thread);
        // Detached: the thread's own reference keeps its state alive, and the
        // handle's signal, not a join, tells others that it has ended.
        std::thread(ostrel::posix::RunThread, thread, routine, parameter).detach();
    });
    if (!started) {
        if (handle != nullptr)
            ostrel::posix::CloseHandleAs<Thread>(handle);
        return nullptr;
    }
    if (threadId != nullptr) {
        // Windows knows the id before the thread runs; here the thread tells it.
        ostrel::posix::WaitState &waits = ostrel::posix::Waits();
        std::unique_lock<std::mutex> lock(waits.mutex);
        waits.changed.wait(lock, [&] { return thread->id != 0; });
        *threadId = thread->id;
    }
    return handle;
}

void ExitThread(DWORD exitCode)
{
    if (ostrel::posix::Thread *self = ostrel::posix::currentThread)
        ostrel::posix::FinishThread(*self, exitCode);
    // The C library unwinds what is left of the thread and ends it.
    pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    if (ostrel::hooks::FaultHit("GetExitCodeThread"))
        return FALSE;
    auto object = ostrel::posix::LookupHandleAs<ostrel::posix::Thread>(thread);
    if (object == nullptr) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exitCode == nullptr) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(ostrel::posix::Waits().mutex);
    *exitCode = object->exitCode;
    return TRUE;
}
