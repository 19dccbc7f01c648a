// Listings of the device table, and the caller's key registry.
#include "facade/USB.h"

#include "parsing/ReplyParsing.h"

std::vector<std::string> USB::GetDeviceKeys()
{
    return Guarded(log, "USB::GetDeviceKeys", std::vector<std::string>(), [&] { return discover.GetDeviceKeys(); });
}

std::string USB::GetDeviceKeyFromDeviceID(int deviceID)
{
    return Guarded(log, "USB::GetDeviceKeyFromDeviceID", std::string(),
                   [&] { return discover.GetDeviceKeyFromDeviceID(deviceID); });
}

void USB::GetDeviceInfo(char *buffer)
{
    Guarded(log, "USB::GetDeviceInfo", [&] { discover.GetDeviceInfo(buffer); });
}

void USB::GetDeviceIDModelSerial(int *deviceIDs, int *models, int *serialNumbers, int *count)
{
    std::vector<std::pair<std::string, int>> listed;
    Guarded(log, "USB::GetDeviceIDModelSerial", [&] {
        listed = discover.GetDeviceKeysAndIDs();
        for (size_t i = 0; i < listed.size(); ++i) {
            const ostrel::ModelSerial parsed = ostrel::ParseModelSerial(listed[i].first);
            deviceIDs[i] = listed[i].second;
            models[i] = parsed.model;
            serialNumbers[i] = parsed.serial;
        }
    });
    *count = static_cast<int>(listed.size());
}

std::vector<std::string> USB::GetModelSerialKeys()
{
    return Guarded(log, "USB::GetModelSerialKeys", std::vector<std::string>(),
                   [&] { return keyRegistry.KeysInIDOrder(); });
}

void USB::AssignKey(const char *key, int deviceID)
{
    Guarded(log, "USB::AssignKey", [&] { keyRegistry.Assign(key, deviceID); });
}

bool USB::RemoveKey(const char *key)
{
    return Guarded(log, "USB::RemoveKey", false, [&] { return keyRegistry.Remove(key); });
}

std::vector<std::pair<std::string, int>> USB::GetAttachedDevices()
{
    return Guarded(log, "USB::GetAttachedDevices", std::vector<std::pair<std::string, int>>(),
                   [&] { return keyRegistry.Entries(); });
}

bool USB::GetKeyFromDeviceID(int deviceID, std::string &key)
{
    return Guarded(log, "USB::GetKeyFromDeviceID", false, [&] { return keyRegistry.FirstKeyWithID(deviceID, key); });
}
