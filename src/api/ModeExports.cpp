// Static discovery, event mode, shutdown, and the logging exports.
#include "api/ExportFrame.h"

#include <cstring>

using ostrel::api::Export;

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_open_devices(unsigned productID, unsigned char useUSBAddress, int *deviceCount)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        return call.Present("deviceCount", deviceCount) ? usb.OpenDevices(productID, useUSBAddress != 0, *deviceCount)
                                                        : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_init_product(unsigned productID)
{
    int count = 0;
    return vorn_usb_open_devices(productID, true, &count);
}

OSTREL_API int OSTREL_CALL vorn_usb_init_system(void)
{
    return vorn_usb_init_product(0);
}

OSTREL_API int OSTREL_CALL vorn_usb_event_init(unsigned productID, DeviceEventCallback callback)
{
    // Stored first: a call that fails still leaves the callback in place.
    USB::SetEventCallback(callback);
    return Export(__func__).Run(-1, [&](USB &usb) {
        usb.DiscoverDevicesDynamic(productID);
        return 0;
    });
}

OSTREL_API void OSTREL_CALL vorn_usb_uninit_system(void)
{
    Export(__func__).Run([](USB &usb) { usb.Shutdown(); });
}

// The switches are one byte each, and any non-zero value is on: callers in
// other languages pass 2 or 0xFF, which a C++ bool must never hold.
OSTREL_API void OSTREL_CALL vorn_usb_SetLogging(unsigned char on)
{
    Export(__func__).Run([&](USB &usb) { usb.SetLogging(on != 0); });
}

OSTREL_API void OSTREL_CALL vorn_usb_SetTraceLog(unsigned char on)
{
    Export(__func__).Run([&](USB &usb) { usb.SetTraceLog(on != 0); });
}

OSTREL_API void OSTREL_CALL vorn_usb_GetOSName(char *buffer)
{
    const Export call(__func__);
    call.Run([&](USB &usb) {
        if (!call.Present("buffer", buffer))
            return;
        // The caller's buffer holds 14 chars: the longest name and its NUL.
        const std::string name = usb.GetOSName().substr(0, 13);
        std::memcpy(buffer, name.c_str(), name.size() + 1);
    });
}

} // extern "C"
