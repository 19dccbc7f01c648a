// Window classes and message-only windows, owned by the thread that creates them.
#include "platform/BenchHooks.h"
#include "platform/posix/messaging_state.h"

#include <algorithm>
#include <cctype>

namespace ostrel::posix {
namespace {

static_assert(sizeof(WNDCLASSEXA) == 80, "WNDCLASSEXA must have Windows' x64 layout");

struct ThreadMessaging {
    std::shared_ptr<ThreadQueue> queue;
    ~ThreadMessaging() { EndThreadMessaging(); }
};

thread_local ThreadMessaging current;

bool IsAtom(LPCSTR name)
{
    // MAKEINTATOM: a class named by its atom in the low word of the pointer.
    return reinterpret_cast<uintptr_t>(name) <= 0xFFFF;
}

std::string ClassKey(LPCSTR name)
{
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

std::shared_ptr<WindowClass> FindClass(LPCSTR name)
{
    Messaging &state = MessagingState();
    if (IsAtom(name)) {
        const ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (const auto &entry : state.classes)
            if (atom != 0 && entry.second->atom == atom)
                return entry.second;
        return nullptr;
    }
    auto found = state.classes.find(ClassKey(name));
    return found == state.classes.end() ? nullptr : found->second;
}

// 0 when every atom is taken.
ATOM NewAtom()
{
    Messaging &state = MessagingState();
    for (unsigned tries = 0; tries < 0x4000; ++tries) {
        const ATOM atom = state.nextAtom;
        state.nextAtom = atom == 0xFFFF ? 0xC000 : static_cast<ATOM>(atom + 1);
        if (FindClass(reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(atom))) == nullptr)
            return atom;
    }
    return 0;
}

// The window no longer exists for its class or its thread.
void Unlink(Window &window)
{
    auto &windows = MessagingState().windows;
    windows.erase(std::remove_if(windows.begin(), windows.end(),
                                 [&](const std::shared_ptr<Window> &w) { return w.get() == &window; }),
                  windows.end());
    --window.windowClass->windows;
}

// WM_DESTROY, WM_NCDESTROY, then the handle goes. On the owning thread.
void DestroyOwnWindow(const std::shared_ptr<Window> &window)
{
    WNDPROC procedure;
    HWND handle;
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        StopDeliveries(*window);
        procedure = window->windowClass->procedure;
        handle = window->handle;
    }
    procedure(handle, WM_DESTROY, 0, 0);
    procedure(handle, WM_NCDESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        Unlink(*window);
    }
    CloseHandleAs<Window>(handle);
}

// Enters a new window of the class for the calling thread; null with the
// last error set if the class does not exist.
std::shared_ptr<Window> NewWindow(LPCSTR className)
{
    auto window = std::make_shared<Window>();
    window->queue = CurrentQueue();
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        window->windowClass = className == nullptr ? nullptr : FindClass(className);
        if (window->windowClass == nullptr) {
            StoreLastError(kErrorCannotFindWndClass);
            return nullptr;
        }
        MessagingState().windows.push_back(window);
        ++window->windowClass->windows;
    }
    HWND handle = static_cast<HWND>(InsertHandle(window));
    std::lock_guard<std::mutex> lock(Waits().mutex);
    window->handle = handle;
    return window;
}

} // namespace

Messaging &MessagingState()
{
    // Never destroyed, like the other state of the layer.
    static Messaging *state = new Messaging;
    return *state;
}

std::shared_ptr<ThreadQueue> CurrentQueue()
{
    if (current.queue == nullptr)
        current.queue = std::make_shared<ThreadQueue>();
    return current.queue;
}

void StopDeliveries(Window &window)
{
    window.destroying = true;
    auto &registrations = MessagingState().registrations;
    registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                       [&](const std::shared_ptr<Registration> &r) {
                                           return r->window.lock().get() == &window;
                                       }),
                        registrations.end());
}

void EndThreadMessaging()
{
    if (current.queue == nullptr)
        return;
    std::vector<std::shared_ptr<Window>> ended;
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        for (const auto &window : MessagingState().windows)
            if (window->queue == current.queue)
                ended.push_back(window);
        for (const auto &window : ended) {
            StopDeliveries(*window);
            Unlink(*window);
        }
        current.queue->pending.clear();
    }
    for (const auto &window : ended)
        CloseHandleAs<Window>(window->handle);
    current.queue.reset();
}

} // namespace ostrel::posix

using namespace ostrel::posix;

// The instance is not part of a class's identity here: the process has one
// module, so every class is what Windows calls an application-global one.
ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass)
{
    if (ostrel::hooks::FaultHit("RegisterClassExA"))
        return 0;
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) || windowClass->lpfnWndProc == nullptr ||
        IsAtom(windowClass->lpszClassName) || windowClass->cbClsExtra < 0 || windowClass->cbWndExtra < 0) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ATOM atom = 0;
    Allocating([&] {
        auto entry = std::make_shared<WindowClass>();
        entry->name = windowClass->lpszClassName;
        entry->procedure = windowClass->lpfnWndProc;
        std::lock_guard<std::mutex> lock(Waits().mutex);
        if (FindClass(windowClass->lpszClassName) != nullptr) {
            StoreLastError(ERROR_CLASS_ALREADY_EXISTS);
            return;
        }
        entry->atom = NewAtom();
        if (entry->atom == 0) {
            StoreLastError(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        MessagingState().classes.emplace(ClassKey(windowClass->lpszClassName), entry);
        atom = entry->atom;
    });
    return atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE)
{
    const bool fail = ostrel::hooks::FaultHit("UnregisterClassA");
    std::lock_guard<std::mutex> lock(Waits().mutex);
    auto entry = className == nullptr ? nullptr : FindClass(className);
    if (entry == nullptr) {
        StoreLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (entry->windows > 0) {
        StoreLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    MessagingState().classes.erase(ClassKey(entry->name.c_str()));
    return fail ? FALSE : TRUE;
}

// Every window is message-only: there is no display to show one on.
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    if (ostrel::hooks::FaultHit("CreateWindowExA"))
        return nullptr;
    if (parent != nullptr && parent != HWND_MESSAGE && LookupHandleAs<Window>(parent) == nullptr) {
        StoreLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::shared_ptr<Window> window;
    Allocating([&] { window = NewWindow(className); });
    if (window == nullptr)
        return nullptr;
    CREATESTRUCTA create{};
    create.lpCreateParams = parameter;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    const HWND handle = window->handle;
    const LRESULT result = window->windowClass->procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create));
    bool destroyedMeanwhile;
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        destroyedMeanwhile = window->destroying;
    }
    if (destroyedMeanwhile)
        return nullptr;
    if (result == -1) {
        // The procedure refused the window: Windows destroys it and fails.
        DestroyOwnWindow(window);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI DestroyWindow(HWND handle)
{
    const bool fail = ostrel::hooks::FaultHit("DestroyWindow");
    auto window = LookupHandleAs<Window>(handle);
    if (window == nullptr) {
        StoreLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->queue != current.queue) {
        StoreLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool already;
    {
        std::lock_guard<std::mutex> lock(Waits().mutex);
        already = window->destroying;
    }
    // Called again from its own WM_DESTROY: the destruction under way finishes it.
    if (!already)
        DestroyOwnWindow(window);
    return fail ? FALSE : TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    ostrel::hooks::FaultHit("DefWindowProcA");
    return 0;
}
