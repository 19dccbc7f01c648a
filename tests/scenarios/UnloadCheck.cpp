// A program that unloads the library right after vorn_usb_uninit_system
// returns, while the watcher's thread is still inside the program's callback,
// as LabVIEW unloads a DLL. It must not crash when the callback returns into
// the library, and (unless told the library is pinned) the library must leave
// the process once the callback has returned.
//   ostrel_unload_check <library> <bench library> <documents folder> [unloads]
// Exit status 0 when all held; the first failure is printed.
#include "LibraryHost.h"

#include "ostrel.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace ostrel::scenario;

std::atomic<bool> entered{false}, release{false};

void OSTREL_CALL HoldTheWatcher(int, int attached)
{
    if (attached != 1 || entered.exchange(true))
        return;
    while (!release)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

bool Within(int limitMs, const std::function<bool()> &done)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Fail(const char *what)
{
    std::printf("unload check: %s\n", what);
    return 1;
}

template <typename Fn> Fn Bind(void *library, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(library::Symbol(library, name)));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return Fail("usage: ostrel_unload_check <library> <bench library> <documents folder> [unloads]");
    const std::string path = argv[1], benchPath = argv[2];
    const bool unloads = argc > 4 && std::string(argv[4]) == "unloads";
    void *core = library::Load(path);
    void *bench = benchPath == path ? core : library::Load(benchPath);
    if (core == nullptr || bench == nullptr)
        return Fail("the library could not be loaded");
    auto setDocuments = Bind<int (*)(const char *)>(bench, "ostrel_sim_set_documents_folder");
    auto plug = Bind<int (*)(const char *)>(bench, "ostrel_sim_plug");
    auto eventInit = Bind<int(OSTREL_CALL *)(unsigned, DeviceEventCallback)>(core, "vorn_usb_event_init");
    auto uninit = Bind<void(OSTREL_CALL *)()>(core, "vorn_usb_uninit_system");
    if (setDocuments == nullptr || plug == nullptr || eventInit == nullptr || uninit == nullptr)
        return Fail("a function is missing");
    setDocuments(argv[3]); // refused where the library asks the shell: its log then goes there

    if (eventInit(0, HoldTheWatcher) != 0)
        return Fail("event mode did not start");
    if (plug(R"({"vid": 6699, "pid": 10593, "serial": "SN40004",
                 "replies": {"*IDN?": "VORN 2964-U 1.0.0 01/01/24 SN40004\r\n"}})") < 0 ||
        !Within(10000, [] { return entered.load(); }))
        return Fail("the plug never reached the callback");
    uninit();
    if (!library::Unload(core))
        return Fail("the library could not be unloaded");
    // The watcher returns into the library, which must still be there.
    release = true;
    if (unloads && !Within(10000, [&] { return !library::Loaded(path); }))
        return Fail("the library stayed loaded after its watcher ended");
    std::printf("unload check: the watcher returned into the library, which then left\n");
    return 0;
}
