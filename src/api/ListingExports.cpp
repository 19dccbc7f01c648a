// The listing and key-registry exports.
#include "api/ExportFrame.h"

using ostrel::api::Frame;
using ostrel::api::FrameVoid;
using ostrel::api::Result;

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceCount(void)
{
    return Frame(0, [](USB &usb) { return usb.GetDeviceCount(); });
}

OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceKeys(char **keyBuffers)
{
    return Frame(0, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_GetDeviceKeys", "keyBuffers", keyBuffers) ? usb.GetDeviceKeys(keyBuffers)
                                                                                       : 0;
    });
}

OSTREL_API void OSTREL_CALL vorn_usb_GetDeviceKeyFromDeviceID(int deviceID, char *keyBuffer)
{
    FrameVoid([&](USB &usb) {
        if (usb.ArgumentPresent("vorn_usb_GetDeviceKeyFromDeviceID", "keyBuffer", keyBuffer))
            usb.GetDeviceKeyFromDeviceID(deviceID, keyBuffer);
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_device_info(char *buffer)
{
    return Frame(-1, [&](USB &usb) {
        if (!usb.ArgumentPresent("vorn_usb_get_device_info", "buffer", buffer))
            return -1;
        usb.GetDeviceInfo(buffer);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL GetInstrumentList(int *deviceIDs, int *models, int *serialNumbers, int *count)
{
    return Frame(-1, [&](USB &usb) {
        if (!usb.ArgumentPresent("GetInstrumentList", "deviceIDs", deviceIDs) ||
            !usb.ArgumentPresent("GetInstrumentList", "models", models) ||
            !usb.ArgumentPresent("GetInstrumentList", "serialNumbers", serialNumbers) ||
            !usb.ArgumentPresent("GetInstrumentList", "count", count))
            return -1;
        usb.GetDeviceIDModelSerial(deviceIDs, models, serialNumbers, count);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_model_serial_keys(char **keyBuffers)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_get_model_serial_keys", "keyBuffers", keyBuffers)
                   ? Result(usb.GetModelSerialKeys(keyBuffers))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_assign_key(const char *deviceKey, int deviceID)
{
    return Frame(-1, [&](USB &usb) {
        if (!usb.ArgumentPresent("vorn_usb_event_assign_key", "deviceKey", deviceKey))
            return -1;
        usb.AssignKey(deviceKey, deviceID);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_remove_key(const char *deviceKey)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_event_remove_key", "deviceKey", deviceKey)
                   ? Result(usb.RemoveKey(deviceKey))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_get_attached_devices(char **keyBuffers, int *deviceIDs)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_event_get_attached_devices", "keyBuffers", keyBuffers) &&
                       usb.ArgumentPresent("vorn_usb_event_get_attached_devices", "deviceIDs", deviceIDs)
                   ? Result(usb.GetAttachedDevices(keyBuffers, deviceIDs))
                   : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_get_key_from_handle(int deviceID, char *keyBuffer)
{
    return Frame(-1, [&](USB &usb) {
        return usb.ArgumentPresent("vorn_usb_event_get_key_from_handle", "keyBuffer", keyBuffer)
                   ? Result(usb.GetKeyFromDeviceID(deviceID, keyBuffer))
                   : -1;
    });
}

} // extern "C"
