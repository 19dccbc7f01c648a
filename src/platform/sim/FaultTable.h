// Injected failures of named platform calls, so that tests reach the core's error paths.
#pragma once

#include "platform/winapi.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ostrel::sim {

class FaultTable {
public:
    // Every build can fail the SetupAPI and WinUSB calls over the bus;
    // `calls` names the build's further calls (the POSIX layer's kernel32,
    // user32...) and must outlive the table.
    FaultTable() = default;
    template <size_t N>
    explicit FaultTable(const char *const (&calls)[N]) : calls(calls), callCount(N)
    {
    }

    // Called first thing by a call with its own name. True when the call must
    // fail now; `setError` has then set its error code.
    bool Hit(const char *call, void (*setError)(DWORD));

    // The named call fails with `error` after `after` more successful calls,
    // `times` times (0: from then on). False for a name not in the list.
    bool Inject(const std::string &call, DWORD error, unsigned after, unsigned times);

    // Removes every injected fault.
    void Clear();

private:
    struct Fault {
        DWORD error;
        unsigned passesLeft;   // calls that still succeed before the failures
        unsigned failuresLeft; // 0: fails from then on
    };

    bool IsKnownCall(const std::string &call) const;

    const char *const *const calls = nullptr;
    const size_t callCount = 0;
    std::mutex mutex;
    std::unordered_map<std::string, Fault> faults;
    // Lets every call skip the lock while no fault is injected, which is
    // almost always.
    std::atomic<bool> any{false};
};

} // namespace ostrel::sim
