// The simulated bench: the instruments plugged now, and the bus it offers the POSIX layer.
#pragma once

#include "platform/sim/Instrument.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::bus {

// A device handle on a bench instrument. It keeps the instrument alive after
// an unplug so that calls on the stale handle fail instead of crashing.
class Device {
public:
    explicit Device(std::shared_ptr<sim::Instrument> instrument) : instrument(std::move(instrument)) {}

    const std::shared_ptr<sim::Instrument> instrument;
    std::atomic<bool> closed{false};
    std::atomic<int> claims{0};
};

} // namespace ostrel::bus

namespace ostrel::sim {

// The device interface class of the bench's instruments.
extern const GUID kInstrumentInterfaceClass;

class Bench {
public:
    // The one bench of the process. The first call plugs the instruments of
    // the bench file named by OSTREL_BENCH, so that a program that knows only
    // ostrel.h finds them at its first scan.
    static Bench &Get();

    // Plugs all of them or none: a path already plugged (or plugged twice in
    // `configs`) refuses the lot. Returns the first new slot, or -1.
    int Plug(std::vector<InstrumentConfig> configs, std::string &reason);
    // False for a slot that is not plugged now.
    bool Unplug(int slot);
    void UnplugAll();

    std::shared_ptr<Instrument> Find(int slot) const;
    std::shared_ptr<Instrument> FindPath(const std::string &path) const;
    std::vector<std::string> PresentPaths() const;

    // Device handles plus WinUSB claims not yet closed.
    int OpenHandles() const { return openHandles.load(); }
    void CountHandles(int delta) { openHandles.fetch_add(delta); }

private:
    Bench() = default;
    // Plugs without telling the listener: the notifications' receivers may
    // call Get() themselves, which is not possible while Get() is creating
    // the bench; they find the instruments at their first look instead.
    int Insert(std::vector<InstrumentConfig> configs, std::vector<std::shared_ptr<Instrument>> &plugged,
               std::string &reason);
    void PlugEnvironmentBench();
    // Called with no lock of the bench held: the listener may call back in.
    void Notify(const std::vector<std::shared_ptr<Instrument>> &instruments, bool arrived) const;

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Instrument>> present; // in plug order
    int nextSlot = 0;
    std::atomic<int> openHandles{0};
};

} // namespace ostrel::sim
