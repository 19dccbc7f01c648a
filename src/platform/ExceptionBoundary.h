// The one place where Ostrel's code catches exceptions. Every entry point (an
// exported function, the watcher's thread, its window procedure, a platform
// call) and every step that must go on after a failure runs its body through
// CatchAll, so that no exception ever reaches the caller's code.
#pragma once

#include <utility>

namespace ostrel {

// Runs `body`; if it throws, runs `onException` instead of letting the
// exception pass. True when the body completed. `onException` must not throw.
template <class Body, class OnException>
bool CatchAll(Body &&body, OnException &&onException) noexcept
{
    try {
        std::forward<Body>(body)();
        return true;
    } catch (...) {
        std::forward<OnException>(onException)();
        return false;
    }
}

} // namespace ostrel
