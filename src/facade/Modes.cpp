// Static discovery, event mode and shutdown.
#include "facade/USB.h"

#include "recording/Recorder.h"

int USB::OpenDevices(unsigned productID, bool useUSBAddress, int &deviceCount)
{
    DiscoverDevicesStatic(productID, useUSBAddress);
    // Written before the duplicate check, and also after a failed scan.
    deviceCount = GetDeviceCount();
    if (!useUSBAddress)
        return 0;
    return HasDuplicateDeviceID() ? 1 : 0;
}

void USB::DiscoverDevicesStatic(unsigned productID, bool useUSBAddress)
{
    Guarded(log, "USB::DiscoverDevicesStatic", [&] {
        log.Data("USB::DiscoverDevicesStatic: Product ID = %04X, Use USB Address = %s", productID,
                 useUSBAddress ? "True" : "False");
        discover.SetProductID(productID);
        discover.SetUseUSBAddress(useUSBAddress);
        discover.DeviceDiscovery();
        // Every key found is registered; keys of instruments gone since an
        // earlier scan stay registered.
        for (const auto &[key, id] : discover.GetDeviceKeysAndIDs())
            AssignKey(key.c_str(), id);
    });
}

bool USB::HasDuplicateDeviceID()
{
    return Guarded(log, "USB::HasDuplicateDeviceID", false, [&] { return discover.HasDuplicateDeviceID(); });
}

void USB::DiscoverDevicesDynamic(unsigned productID)
{
    Guarded(log, "USB::DiscoverDevicesDynamic", [&] {
        log.Data("USB::DiscoverDevicesDynamic: Product ID = %04X", productID);
        discover.SetProductID(productID);
        discover.CreateDiscoveryThread();
    });
}

void USB::Shutdown()
{
    Guarded(log, "USB::Shutdown", [&] {
        keyRegistry.Clear();
        discover.Shutdown();
        if (ostrel::recording::Recorder *recorder = ostrel::recording::Recorder::Active())
            recorder->Save();
    });
}
