// The frame around every export: fetch the USB object, run one body, turn the
// outcome into the export's result. No exception leaves an export, and an
// export whose USB object cannot be had returns its failure value without
// touching its out-parameters.
#pragma once

#include "platform/export.h"

#include "facade/USB.h"
#include "ostrel.h"

namespace ostrel::api {

template <class Result, class Body>
Result Frame(Result failure, Body body)
{
    try {
        USB *usb = USB::GetInstance();
        if (usb == nullptr)
            return failure;
        return body(*usb);
    } catch (...) {
        return failure;
    }
}

template <class Body>
void FrameVoid(Body body)
{
    try {
        if (USB *usb = USB::GetInstance())
            body(*usb);
    } catch (...) {
    }
}

inline int Result(bool succeeded)
{
    return succeeded ? 0 : -1;
}

} // namespace ostrel::api
