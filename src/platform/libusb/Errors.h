// libusb's error and transfer status codes as the Windows codes the POSIX layer reports.
#pragma once

#include "platform/posix/winapi_posix.h"

namespace ostrel::usb {

// A libusb_error (negative) as a Windows error code; LIBUSB_SUCCESS and
// positive counts are ERROR_SUCCESS.
DWORD WindowsError(int libusbError);

// The end of a transfer (enum libusb_transfer_status) as a Windows error code.
DWORD WindowsTransferError(int transferStatus);

} // namespace ostrel::usb
