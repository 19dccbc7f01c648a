// WM_DEVICECHANGE sent as Windows sends it: to the registered window, handled on its
// own thread inside that thread's message retrieval, the broadcast block alive until then.
#include "platform/winbench/DeviceNotifications.h"

#include "platform/sim/Bench.h"

#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::winbench {
namespace {

// The class of the core's watcher window (discovery/Watcher.cpp).
const char kWatcherClass[] = "VornDiscover";

// A scan identifying new instruments waits on their replies: generous, but a
// watcher that never takes its messages must not hold up every later message.
constexpr UINT kSendTimeoutMs = 20000;

std::vector<char> *MakeBroadcast(const std::string &path)
{
    auto *block = new std::vector<char>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1);
    DEV_BROADCAST_DEVICEINTERFACE_A header{};
    header.dbcc_size = static_cast<DWORD>(block->size());
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = sim::kInstrumentInterfaceClass;
    std::memcpy(block->data(), &header, offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name));
    std::memcpy(block->data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), path.c_str(), path.size() + 1);
    return block;
}

void Send(HWND window, WPARAM event, std::vector<char> *block)
{
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(block->data()), SMTO_NORMAL,
                            kSendTimeoutMs, &result) == 0 &&
        GetLastError() == ERROR_TIMEOUT) {
        // The watcher may still take the message later and read the block:
        // leaking it is the only safe choice.
        return;
    }
    delete block;
}

// The sender runs this module's code until the process ends: a program that
// frees the library must not unload it from under the thread.
void KeepModuleLoaded()
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&KeepModuleLoaded), &self);
}

// The notifications not yet sent, sent one after another by one thread.
class Sender {
public:
    void Post(HWND window, WPARAM event, std::vector<char> *block)
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back({window, event, block});
        if (!running) {
            running = true;
            KeepModuleLoaded();
            std::thread([this] { Run(); }).detach();
        }
        changed.notify_one();
    }

private:
    struct Message {
        HWND window;
        WPARAM event;
        std::vector<char> *block;
    };

    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty(); });
            const Message message = queue.front();
            queue.pop_front();
            lock.unlock();
            Send(message.window, message.event, message.block);
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Message> queue;
    bool running = false;
};

// Never destroyed: the sender may still be busy while the process exits.
Sender &Outbox()
{
    static Sender *sender = new Sender;
    return *sender;
}

std::vector<HWND> WatcherWindows()
{
    std::vector<HWND> windows;
    for (HWND window = nullptr; (window = FindWindowExA(HWND_MESSAGE, window, kWatcherClass, nullptr)) != nullptr;) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            windows.push_back(window);
    }
    return windows;
}

} // namespace

void SendDeviceChange(const std::string &path, bool arrived)
{
    // Windows sends these from the system, never from the thread that plugged
    // the device: a sender of our own keeps the plugging thread free (it may
    // be the very thread a blocked callback waits for) and the messages in the
    // order the bench raised them. Plugged from inside the library's callback,
    // the watcher takes the message once back in its loop, as on Windows.
    const WPARAM event = arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND window : WatcherWindows())
        Outbox().Post(window, event, MakeBroadcast(path));
}

} // namespace ostrel::winbench
