// WM_DEVICECHANGE sent as Windows sends it: to the registered window, handled on its
// own thread inside that thread's message retrieval, the broadcast block alive until then.
#include "DeviceNotifications.h"

#include "platform/sim/Bench.h"

#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace ostrel::shim {
namespace {

const char kWatcherClass[] = "VornDiscover";

// A scan identifying new instruments waits on their replies: generous, but a
// watcher that never takes its messages must not hang the test.
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
    const WPARAM event = arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND window : WatcherWindows()) {
        std::vector<char> *block = MakeBroadcast(path);
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            // Plugged from inside the library's callback, on the watcher
            // thread: a message sent to one's own window would run a scan
            // inside the running one, which Windows never does. Another
            // thread sends it, and the watcher takes it once back in its loop.
            std::thread([window, event, block] { Send(window, event, block); }).detach();
        } else {
            Send(window, event, block);
        }
    }
}

} // namespace ostrel::shim
