// The eight transfer exports: ASCII and binary, by device key or device ID.
#include "api/ExportFrame.h"

using ostrel::api::Export;
using ostrel::api::Result;

namespace {

// The instrument is named by its device ID or, for a non-null key, by its key.
int Write(const char *function, const char *deviceKey, int deviceID, char *buffer, unsigned length, bool ascii,
          bool byKey)
{
    const Export call(function);
    return call.Run(-1, [&](USB &usb) {
        if ((byKey && !call.Present("deviceKey", deviceKey)) || !call.Present("buffer", buffer))
            return -1;
        return Result(byKey ? usb.Write(deviceKey, buffer, length, ascii) : usb.Write(deviceID, buffer, length, ascii));
    });
}

int Read(const char *function, const char *deviceKey, int deviceID, char *buffer, unsigned length,
         unsigned *bytesRead, bool ascii, bool byKey)
{
    const Export call(function);
    return call.Run(-1, [&](USB &usb) {
        if ((byKey && !call.Present("deviceKey", deviceKey)) || !call.Present("buffer", buffer) ||
            !call.Present("bytesRead", bytesRead))
            return -1;
        return Result(byKey ? usb.Read(deviceKey, buffer, length, bytesRead, ascii)
                            : usb.Read(deviceID, buffer, length, bytesRead, ascii));
    });
}

} // namespace

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_send_ascii(int deviceID, char *buffer, unsigned length)
{
    return Write(__func__, nullptr, deviceID, buffer, length, true, false);
}

OSTREL_API int OSTREL_CALL vorn_usb_send_binary(int deviceID, char *buffer, unsigned length)
{
    return Write(__func__, nullptr, deviceID, buffer, length, false, false);
}

OSTREL_API int OSTREL_CALL vorn_usb_write_by_key(const char *deviceKey, char *buffer, unsigned length)
{
    return Write(__func__, deviceKey, 0, buffer, length, true, true);
}

OSTREL_API int OSTREL_CALL vorn_usb_write_binary_by_key(const char *deviceKey, char *buffer, unsigned length)
{
    return Write(__func__, deviceKey, 0, buffer, length, false, true);
}

OSTREL_API int OSTREL_CALL vorn_usb_get_ascii(int deviceID, char *buffer, unsigned length, unsigned *bytesRead)
{
    // Binary, whatever the name says.
    return Read(__func__, nullptr, deviceID, buffer, length, bytesRead, false, false);
}

OSTREL_API int OSTREL_CALL vorn_usb_get_ascii_by_DeviceID(int deviceID, char *buffer, unsigned length,
                                                          unsigned *bytesRead)
{
    return Read(__func__, nullptr, deviceID, buffer, length, bytesRead, true, false);
}

OSTREL_API int OSTREL_CALL vorn_usb_read_by_key(const char *deviceKey, char *buffer, unsigned length,
                                                unsigned *bytesRead)
{
    return Read(__func__, deviceKey, 0, buffer, length, bytesRead, false, true);
}

OSTREL_API int OSTREL_CALL vorn_usb_read_ascii_by_key(const char *deviceKey, char *buffer, unsigned length,
                                                      unsigned *bytesRead)
{
    return Read(__func__, deviceKey, 0, buffer, length, bytesRead, true, true);
}

} // extern "C"
