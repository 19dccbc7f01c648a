// State shared by the two halves of the messaging layer, windows.cpp and messaging.cpp.
// Everything here is guarded by Waits().mutex, which is never held while a
// window procedure runs.
#pragma once

#include "platform/posix/handles.h"
#include "platform/posix/internal.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::posix {

struct WindowClass {
    std::string name;
    ATOM atom;
    WNDPROC procedure;
    unsigned windows = 0;
};

class Window;

struct Notification {
    std::weak_ptr<Window> window;
    GUID interfaceClass;
    std::string path;
    bool arrived;
};

// A thread's message queue: what was sent to its windows and is not yet
// delivered, and whether input came since the thread last looked.
struct ThreadQueue {
    std::deque<Notification> pending;
    bool unseenInput = false;
};

class Window : public HandleObject, public NotKernelObject {
public:
    std::shared_ptr<WindowClass> windowClass;
    std::shared_ptr<ThreadQueue> queue; // the owning thread's, fixed at creation
    HWND handle = nullptr;
    bool destroying = false;
};

class Registration : public HandleObject, public NotKernelObject {
public:
    void Release() override;

    std::weak_ptr<Window> window;
    GUID interfaceClass{};
};

struct Messaging {
    // Keyed by the lower-cased name: Windows compares class names without case.
    std::map<std::string, std::shared_ptr<WindowClass>> classes;
    std::vector<std::shared_ptr<Window>> windows;
    std::vector<std::shared_ptr<Registration>> registrations;
    ATOM nextAtom = 0xC000; // Windows' range of class atoms: 0xC000 to 0xFFFF
};

Messaging &MessagingState();

// The calling thread's queue, made at its first use.
std::shared_ptr<ThreadQueue> CurrentQueue();

// Ends every delivery to the window (it is being destroyed).
void StopDeliveries(Window &window);

} // namespace ostrel::posix
