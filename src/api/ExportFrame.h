// The frame around every export: fetch the USB object, run one body, turn the
// outcome into the export's result. No exception leaves an export, and an
// export whose USB object cannot be had returns its failure value without
// touching its out-parameters. The exports themselves only check their
// arguments and delegate.
#pragma once

#include "platform/export.h"

#include "facade/USB.h"
#include "ostrel.h"

#include <string>
#include <vector>

namespace ostrel::api {

// One call of the export named `name` (its __func__).
class Export {
public:
    explicit Export(const char *name) : name(name) {}

    template <class Result, class Body>
    Result Run(Result failure, Body &&body) const
    {
        Result result = failure;
        // The export writes no line of its own: the methods it calls have.
        CatchAll(
            [&] {
                if (USB *usb = USB::GetInstance())
                    result = body(*usb);
            },
            [] {});
        return result;
    }

    template <class Body>
    void Run(Body &&body) const
    {
        Run(0, [&](USB &usb) {
            body(usb);
            return 0;
        });
    }

    // Writes "<export>: <argument> is null." and returns false for a null
    // pointer, so that bad input gives an error line instead of a crash.
    bool Present(const char *argument, const void *pointer) const;

    // Copies key i into keyBuffers[i], each cut to the 63 chars a key buffer
    // has room for. Every buffer is checked before the first is written, so
    // that a failed call leaves all of them as they were; a null one gives
    // "<export>: keyBuffers[<i>] is null." and false.
    bool CopyKeys(const std::vector<std::string> &keys, char **keyBuffers) const;

private:
    const char *name;
};

inline int Result(bool succeeded)
{
    return succeeded ? 0 : -1;
}

// Copies the key with its NUL into a 64-char key buffer, cut to 63 chars: the
// registry holds whatever the caller assigned.
void CopyKey(char *destination, const std::string &key);

} // namespace ostrel::api
