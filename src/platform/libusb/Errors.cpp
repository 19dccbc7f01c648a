// The one place where libusb's errors become Windows codes.
// The core then logs and decides exactly as it does over WinUSB.
#include "platform/libusb/Errors.h"

#include <iterator>
#include <libusb.h>

namespace ostrel::usb {
namespace {

struct ErrorMapping {
    int libusb;
    DWORD windows;
};

// What WinUSB reports for the same event: a vanished device gives
// ERROR_BAD_COMMAND there (the core treats it as a removal), a stall or babble
// the generic device failure.
constexpr ErrorMapping kErrors[] = {
    {.libusb = LIBUSB_ERROR_IO, .windows = ERROR_GEN_FAILURE},
    {.libusb = LIBUSB_ERROR_INVALID_PARAM, .windows = ERROR_INVALID_PARAMETER},
    {.libusb = LIBUSB_ERROR_ACCESS, .windows = ERROR_ACCESS_DENIED},
    {.libusb = LIBUSB_ERROR_NO_DEVICE, .windows = ERROR_BAD_COMMAND},
    {.libusb = LIBUSB_ERROR_NOT_FOUND, .windows = ERROR_NOT_FOUND},
    // Another program holds the interface: Windows refuses the second
    // exclusive open the same way.
    {.libusb = LIBUSB_ERROR_BUSY, .windows = ERROR_ACCESS_DENIED},
    {.libusb = LIBUSB_ERROR_TIMEOUT, .windows = ERROR_SEM_TIMEOUT},
    {.libusb = LIBUSB_ERROR_OVERFLOW, .windows = ERROR_GEN_FAILURE},
    {.libusb = LIBUSB_ERROR_PIPE, .windows = ERROR_GEN_FAILURE},
    {.libusb = LIBUSB_ERROR_INTERRUPTED, .windows = ERROR_OPERATION_ABORTED},
    {.libusb = LIBUSB_ERROR_NO_MEM, .windows = ERROR_NOT_ENOUGH_MEMORY},
    {.libusb = LIBUSB_ERROR_NOT_SUPPORTED, .windows = ERROR_NOT_SUPPORTED},
    {.libusb = LIBUSB_ERROR_OTHER, .windows = ERROR_GEN_FAILURE},
};

constexpr ErrorMapping kTransferStatuses[] = {
    {.libusb = LIBUSB_TRANSFER_COMPLETED, .windows = ERROR_SUCCESS},
    {.libusb = LIBUSB_TRANSFER_ERROR, .windows = ERROR_GEN_FAILURE},
    {.libusb = LIBUSB_TRANSFER_TIMED_OUT, .windows = ERROR_SEM_TIMEOUT},
    {.libusb = LIBUSB_TRANSFER_CANCELLED, .windows = ERROR_OPERATION_ABORTED},
    {.libusb = LIBUSB_TRANSFER_STALL, .windows = ERROR_GEN_FAILURE},
    {.libusb = LIBUSB_TRANSFER_NO_DEVICE, .windows = ERROR_BAD_COMMAND},
    {.libusb = LIBUSB_TRANSFER_OVERFLOW, .windows = ERROR_GEN_FAILURE},
};

DWORD Lookup(const ErrorMapping *begin, const ErrorMapping *end, int code)
{
    for (const ErrorMapping *m = begin; m != end; ++m)
        if (m->libusb == code)
            return m->windows;
    // A code newer than this table: still a failure the caller can log.
    return ERROR_GEN_FAILURE;
}

} // namespace

DWORD WindowsError(int libusbError)
{
    if (libusbError >= 0)
        return ERROR_SUCCESS;
    return Lookup(std::begin(kErrors), std::end(kErrors), libusbError);
}

DWORD WindowsTransferError(int transferStatus)
{
    return Lookup(std::begin(kTransferStatuses), std::end(kTransferStatuses), transferStatus);
}

} // namespace ostrel::usb
