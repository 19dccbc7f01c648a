// Static discovery, event mode, shutdown, and the logging exports.
#include "api/ExportFrame.h"

#include <cstring>

using ostrel::api::Frame;
using ostrel::api::FrameVoid;

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_open_devices(unsigned productID, bool useUSBAddress, int *deviceCount)
{
    return Frame(-1, [&](USB &usb) {
        if (!usb.ArgumentPresent("vorn_usb_open_devices", "deviceCount", deviceCount))
            return -1;
        usb.DiscoverDevicesStatic(productID, useUSBAddress);
        *deviceCount = usb.GetDeviceCount();
        if (!useUSBAddress)
            return 0;
        return usb.HasDuplicateDeviceID() ? 1 : 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_init_product(unsigned productID)
{
    try {
        int count = 0;
        return vorn_usb_open_devices(productID, true, &count);
    } catch (...) {
        return -1;
    }
}

OSTREL_API int OSTREL_CALL vorn_usb_init_system(void)
{
    try {
        return vorn_usb_init_product(0);
    } catch (...) {
        return -1;
    }
}

OSTREL_API int OSTREL_CALL vorn_usb_event_init(unsigned productID, DeviceEventCallback callback)
{
    // Stored first: a call that fails still leaves the callback in place.
    deviceEventCallback = callback;
    return Frame(-1, [&](USB &usb) {
        usb.DiscoverDevicesDynamic(productID);
        return 0;
    });
}

OSTREL_API void OSTREL_CALL vorn_usb_uninit_system(void)
{
    FrameVoid([](USB &usb) { usb.Shutdown(); });
}

OSTREL_API void OSTREL_CALL vorn_usb_SetLogging(bool on)
{
    FrameVoid([&](USB &usb) { usb.SetLogging(on); });
}

OSTREL_API void OSTREL_CALL vorn_usb_SetTraceLog(bool on)
{
    FrameVoid([&](USB &usb) { usb.SetTraceLog(on); });
}

OSTREL_API void OSTREL_CALL vorn_usb_GetOSName(char *buffer)
{
    FrameVoid([&](USB &usb) {
        if (!usb.ArgumentPresent("vorn_usb_GetOSName", "buffer", buffer))
            return;
        // The caller's buffer holds 14 chars: the longest name and its NUL.
        std::string name = usb.GetOSName().substr(0, 13);
        std::memcpy(buffer, name.c_str(), name.size() + 1);
    });
}

} // extern "C"
