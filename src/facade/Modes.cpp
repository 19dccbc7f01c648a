// Static discovery, event mode and shutdown.
#include "diagnostics/Logger.h"
#include "facade/USB.h"

void USB::DiscoverDevicesStatic(unsigned productID, bool useUSBAddress)
{
    try {
        if (logger != nullptr)
            logger->LogFormat(loggingEnabled, "USB::DiscoverDevicesStatic: Product ID = %04X, Use USB Address = %s",
                              productID, useUSBAddress ? "True" : "False");
        discover.productID = productID;
        discover.useUSBAddress = useUSBAddress;
        discover.DeviceDiscovery();

        std::vector<std::string> keys;
        std::vector<int> ids;
        discover.GetDeviceKeysAndIDs(keys, ids);
        for (size_t i = 0; i < keys.size(); ++i)
            AssignKey(keys[i].c_str(), ids[i]);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::DiscoverDevicesStatic: Exception.");
    }
}

bool USB::HasDuplicateDeviceID()
{
    try {
        return discover.HasDuplicateDeviceID();
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::HasDuplicateDeviceID: Exception.");
    }
    return false;
}

void USB::DiscoverDevicesDynamic(unsigned productID)
{
    try {
        if (logger != nullptr)
            logger->LogFormat(loggingEnabled, "USB::DiscoverDevicesDynamic: Product ID = %04X", productID);
        discover.productID = productID;
        discover.CreateDiscoveryThread();
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::DiscoverDevicesDynamic: Exception.");
    }
}

void USB::Shutdown()
{
    try {
        {
            std::lock_guard<std::mutex> lock(registryMutex);
            keyRegistry.clear();
        }
        discover.Shutdown();
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Shutdown: Exception.");
    }
}
