// The eight transfer exports: ASCII and binary, by device key or device ID.
#include "api/ExportFrame.h"

using ostrel::api::Frame;
using ostrel::api::Result;

namespace {

bool ReadArguments(USB &usb, const char *function, const void *buffer, const unsigned *bytesRead)
{
    return usb.ArgumentPresent(function, "buffer", buffer) && usb.ArgumentPresent(function, "bytesRead", bytesRead);
}

} // namespace

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_send_ascii(int deviceID, char *buffer, unsigned length)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_send_ascii", "buffer", buffer)
                   ? Result(usb.Write(deviceID, buffer, length, true))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_send_binary(int deviceID, char *buffer, unsigned length)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_send_binary", "buffer", buffer)
                   ? Result(usb.Write(deviceID, buffer, length, false))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_write_by_key(const char *deviceKey, char *buffer, unsigned length)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_write_by_key", "deviceKey", deviceKey) &&
                       usb.ArgumentPresent("vorn_usb_write_by_key", "buffer", buffer)
                   ? Result(usb.Write(deviceKey, buffer, length, true))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_write_binary_by_key(const char *deviceKey, char *buffer, unsigned length)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_write_binary_by_key", "deviceKey", deviceKey) &&
                       usb.ArgumentPresent("vorn_usb_write_binary_by_key", "buffer", buffer)
                   ? Result(usb.Write(deviceKey, buffer, length, false))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_ascii(int deviceID, char *buffer, unsigned length, unsigned *bytesRead)
{
    return Frame(-1, [&](USB &usb) {
        return ReadArguments(usb, "vorn_usb_get_ascii", buffer, bytesRead)
                   ? Result(usb.Read(deviceID, buffer, length, bytesRead, false))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_ascii_by_DeviceID(int deviceID, char *buffer, unsigned length,
                                                          unsigned *bytesRead)
{
    return Frame(-1, [&](USB &usb) {
        return ReadArguments(usb, "vorn_usb_get_ascii_by_DeviceID", buffer, bytesRead)
                   ? Result(usb.Read(deviceID, buffer, length, bytesRead, true))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_read_by_key(const char *deviceKey, char *buffer, unsigned length,
                                                unsigned *bytesRead)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_read_by_key", "deviceKey", deviceKey) &&
                       ReadArguments(usb, "vorn_usb_read_by_key", buffer, bytesRead)
                   ? Result(usb.Read(deviceKey, buffer, length, bytesRead, false))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_read_ascii_by_key(const char *deviceKey, char *buffer, unsigned length,
                                                      unsigned *bytesRead)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_read_ascii_by_key", "deviceKey", deviceKey) &&
                       ReadArguments(usb, "vorn_usb_read_ascii_by_key", buffer, bytesRead)
                   ? Result(usb.Read(deviceKey, buffer, length, bytesRead, true))
                   : -1;
    });
}

} // extern "C"
