// The listing and key-registry exports.
#include "api/ExportFrame.h"

#include <algorithm>

using ostrel::api::CopyKey;
using ostrel::api::Export;
using ostrel::api::Result;

extern "C" {

OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceCount(void)
{
    return Export(__func__).Run(0, [](USB &usb) { return usb.GetDeviceCount(); });
}

OSTREL_API int OSTREL_CALL vorn_usb_GetDeviceKeys(char **keyBuffers)
{
    const Export call(__func__);
    return call.Run(0, [&](USB &usb) {
        if (!call.Present("keyBuffers", keyBuffers))
            return 0;
        const std::vector<std::string> keys = usb.GetDeviceKeys();
        return call.CopyKeys(keys, keyBuffers) ? static_cast<int>(keys.size()) : 0;
    });
}

OSTREL_API void OSTREL_CALL vorn_usb_GetDeviceKeyFromDeviceID(int deviceID, char *keyBuffer)
{
    const Export call(__func__);
    call.Run([&](USB &usb) {
        if (call.Present("keyBuffer", keyBuffer))
            CopyKey(keyBuffer, usb.GetDeviceKeyFromDeviceID(deviceID));
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_device_info(char *buffer)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        if (!call.Present("buffer", buffer))
            return -1;
        usb.GetDeviceInfo(buffer);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL GetInstrumentList(int *deviceIDs, int *models, int *serialNumbers, int *count)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        if (!call.Present("deviceIDs", deviceIDs) || !call.Present("models", models) ||
            !call.Present("serialNumbers", serialNumbers) || !call.Present("count", count))
            return -1;
        usb.GetDeviceIDModelSerial(deviceIDs, models, serialNumbers, count);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_get_model_serial_keys(char **keyBuffers)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        return call.Present("keyBuffers", keyBuffers) ? Result(call.CopyKeys(usb.GetModelSerialKeys(), keyBuffers))
                                                      : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_assign_key(const char *deviceKey, int deviceID)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        if (!call.Present("deviceKey", deviceKey))
            return -1;
        usb.AssignKey(deviceKey, deviceID);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_remove_key(const char *deviceKey)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        return call.Present("deviceKey", deviceKey) ? Result(usb.RemoveKey(deviceKey)) : -1;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_get_attached_devices(char **keyBuffers, int *deviceIDs)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        if (!call.Present("keyBuffers", keyBuffers) || !call.Present("deviceIDs", deviceIDs))
            return -1;
        std::vector<std::string> keys;
        std::vector<int> ids;
        for (const auto &[key, id] : usb.GetAttachedDevices()) {
            keys.push_back(key);
            ids.push_back(id);
        }
        if (!call.CopyKeys(keys, keyBuffers))
            return -1;
        std::copy(ids.begin(), ids.end(), deviceIDs);
        return 0;
    });
}

OSTREL_API int OSTREL_CALL vorn_usb_event_get_key_from_handle(int deviceID, char *keyBuffer)
{
    const Export call(__func__);
    return call.Run(-1, [&](USB &usb) {
        std::string key;
        if (!call.Present("keyBuffer", keyBuffer) || !usb.GetKeyFromDeviceID(deviceID, key))
            return -1;
        CopyKey(keyBuffer, key);
        return 0;
    });
}

} // extern "C"
