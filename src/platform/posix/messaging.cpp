// Device notifications and the per-thread message queue that delivers them.
//
// They behave like Windows' sent messages: the bus's listener only queues them
// for the window's thread and wakes it; that thread runs its window procedure
// for them inside PeekMessageA, with no lock held, so the procedure may call
// back into any function of the layer (and so plug or unplug on the bench).
#include "platform/posix/messaging.h"

#include "platform/bus/Bus.h"
#include "platform/BenchHooks.h"
#include "platform/posix/messaging_state.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace ostrel::posix {
namespace {

constexpr DWORD kMaximumWaitObjects = 64; // MAXIMUM_WAIT_OBJECTS, one slot kept for the queue

// The lParam of WM_DEVICECHANGE: the record with the path appended.
std::vector<char> Broadcast(const Notification &notification)
{
    const size_t header = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    const size_t size = header + notification.path.size() + 1;
    DEV_BROADCAST_DEVICEINTERFACE_A head{};
    head.dbcc_size = static_cast<DWORD>(size);
    head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = notification.interfaceClass;
    std::vector<char> buffer(std::max(size, sizeof head));
    std::memcpy(buffer.data(), &head, header);
    std::memcpy(buffer.data() + header, notification.path.c_str(), notification.path.size() + 1);
    return buffer;
}

// Runs the window procedure for every notification queued for this thread, in
// order, including those that arrive meanwhile.
void DeliverPending(ThreadQueue &queue)
{
    for (;;) {
        Notification notification;
        std::shared_ptr<Window> window;
        {
            std::lock_guard<std::mutex> lock(Waits().mutex);
            queue.unseenInput = false;
            if (queue.pending.empty())
                return;
            notification = std::move(queue.pending.front());
            queue.pending.pop_front();
            window = notification.window.lock();
            if (window == nullptr || window->destroying)
                continue;
        }
        std::vector<char> broadcast = Broadcast(notification);
        window->windowClass->procedure(window->handle, WM_DEVICECHANGE,
                                       notification.arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                                       reinterpret_cast<LPARAM>(broadcast.data()));
    }
}

void InstallHotplugListener()
{
    static std::once_flag installed;
    std::call_once(installed, [] { bus::SetHotplugListener(DeliverDeviceChange); });
}

} // namespace

void Registration::Release()
{
    std::lock_guard<std::mutex> lock(Waits().mutex);
    auto &registrations = MessagingState().registrations;
    registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                       [this](const std::shared_ptr<Registration> &r) { return r.get() == this; }),
                        registrations.end());
}

void DeliverDeviceChange(const GUID &interfaceClass, const std::string &path, bool arrived)
{
    bool queued = false;
    // The bus must not see an exception; a notification lost for want of
    // memory is all that can go wrong.
    CatchAll([&] {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        for (const auto &registration : MessagingState().registrations) {
            if (std::memcmp(&registration->interfaceClass, &interfaceClass, sizeof(GUID)) != 0)
                continue;
            auto window = registration->window.lock();
            if (window == nullptr || window->destroying)
                continue;
            window->queue->pending.push_back(Notification{window, interfaceClass, path, arrived});
            window->queue->unseenInput = true;
            queued = true;
        }
    }, [] {});
    if (queued)
        Waits().changed.notify_all();
}

} // namespace ostrel::posix

using namespace ostrel::posix;

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    if (ostrel::hooks::FaultHit("RegisterDeviceNotificationA"))
        return nullptr;
    const auto *wanted = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(filter);
    if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || wanted == nullptr ||
        wanted->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) ||
        wanted->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto window = LookupHandleAs<Window>(recipient);
    if (window == nullptr) {
        StoreLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HDEVNOTIFY handle = nullptr;
    Allocating([&] {
        InstallHotplugListener();
        auto registration = std::make_shared<Registration>();
        registration->window = window;
        registration->interfaceClass = wanted->dbcc_classguid;
        HDEVNOTIFY inserted = InsertHandle(registration);
        std::lock_guard<std::mutex> lock(Waits().mutex);
        if (window->destroying) {
            // Lost a race with DestroyWindow; the handle goes with the window.
            StoreLastError(ERROR_INVALID_WINDOW_HANDLE);
        } else {
            MessagingState().registrations.push_back(registration);
            handle = inserted;
        }
    });
    return handle;
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY notification)
{
    const bool fail = ostrel::hooks::FaultHit("UnregisterDeviceNotification");
    if (!CloseHandleAs<Registration>(notification)) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return fail ? FALSE : TRUE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds,
                                       DWORD wakeMask)
{
    if (ostrel::hooks::FaultHit("MsgWaitForMultipleObjects"))
        return WAIT_FAILED;
    if (count >= kMaximumWaitObjects || (count > 0 && handles == nullptr)) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Waiting for all objects and input together is never needed here.
    if (waitAll) {
        StoreLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> objects;
    if (!LookupWaitables(count, handles, objects))
        return WAIT_FAILED;
    // Device notifications are sent messages, so only a mask with
    // QS_SENDMESSAGE (QS_ALLINPUT has it) wakes for them.
    const bool wantInput = (wakeMask & kQsSendMessage) != 0;
    std::shared_ptr<ThreadQueue> queue = CurrentQueue();
    return WaitForAny(objects, milliseconds, [&] { return wantInput && queue->unseenInput; });
}

// There are no posted messages, so this never has one to return; what it does
// is deliver the sent ones, whatever the window and message filters say (as
// Windows does).
BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT, UINT, UINT)
{
    if (ostrel::hooks::FaultHit("PeekMessageA"))
        return FALSE;
    const HWND threadMessages = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
    if (message == nullptr) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (window != nullptr && window != threadMessages && LookupHandleAs<Window>(window) == nullptr) {
        StoreLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Allocating([] { DeliverPending(*CurrentQueue()); });
    return FALSE;
}
