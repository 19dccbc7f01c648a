// Listings of the device table, and the caller's key registry.
#include "diagnostics/Logger.h"
#include "discovery/ReplyParsing.h"
#include "facade/USB.h"

#include <algorithm>
#include <cstring>

namespace {

// Keys come from 63-char identity replies, but the registry holds whatever
// the caller assigned: no copy may pass the 64 chars a key buffer has.
void CopyKey(char *destination, const std::string &key)
{
    const size_t length = std::min<size_t>(key.size(), 63);
    std::memcpy(destination, key.c_str(), length);
    destination[length] = '\0';
}

} // namespace

bool USB::CopyKeys(const char *function, const std::vector<std::string> &keys, char **keyBuffers)
{
    // Every buffer is checked before the first is written: a failed call
    // leaves all of the caller's buffers as they were.
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keyBuffers[i] == nullptr) {
            if (logger != nullptr)
                logger->LogFormat(true, "%s: keyBuffers[%u] is null.", function, static_cast<unsigned>(i));
            return false;
        }
    }
    for (size_t i = 0; i < keys.size(); ++i)
        CopyKey(keyBuffers[i], keys[i]);
    return true;
}

int USB::GetDeviceKeys(char **keyBuffers)
{
    std::vector<std::string> keys;
    try {
        discover.GetDeviceKeys(keys);
        return CopyKeys("vorn_usb_GetDeviceKeys", keys, keyBuffers) ? static_cast<int>(keys.size()) : 0;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetDeviceKeys: Exception.");
    }
    return static_cast<int>(keys.size());
}

void USB::GetDeviceKeyFromDeviceID(int deviceID, char *keyBuffer)
{
    try {
        CopyKey(keyBuffer, discover.GetDeviceKeyFromDeviceID(deviceID));
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetDeviceKeyFromDeviceID: Exception.");
    }
}

void USB::GetDeviceInfo(char *buffer)
{
    try {
        discover.GetDeviceInfo(buffer);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetDeviceInfo: Exception.");
    }
}

void USB::GetDeviceIDModelSerial(int *deviceIDs, int *models, int *serialNumbers, int *count)
{
    std::vector<std::string> keys;
    try {
        std::vector<int> ids;
        discover.GetDeviceKeysAndIDs(keys, ids);
        for (size_t i = 0; i < keys.size(); ++i) {
            const ostrel::ModelSerial parsed = ostrel::ParseModelSerial(keys[i]);
            deviceIDs[i] = ids[i];
            models[i] = parsed.model;
            serialNumbers[i] = parsed.serial;
        }
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetDeviceIDModelSerial: Exception.");
    }
    *count = static_cast<int>(keys.size());
}

bool USB::GetModelSerialKeys(char **keyBuffers)
{
    try {
        std::vector<std::string> listed;
        {
            std::lock_guard<std::mutex> lock(registryMutex);
            const int registered = static_cast<int>(keyRegistry.size());
            for (int id = 0; id < registered; ++id)
                for (const auto &[key, keyID] : keyRegistry)
                    if (keyID == id) {
                        listed.push_back(key);
                        break;
                    }
        }
        return CopyKeys("vorn_usb_get_model_serial_keys", listed, keyBuffers);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetModelSerialKeys: Exception.");
    }
    return true;
}

void USB::AssignKey(const char *key, int deviceID)
{
    try {
        std::lock_guard<std::mutex> lock(registryMutex);
        keyRegistry[key] = deviceID;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::AssignKey: Exception.");
    }
}

bool USB::RemoveKey(const char *key)
{
    try {
        std::lock_guard<std::mutex> lock(registryMutex);
        return keyRegistry.erase(key) == 1;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::RemoveKey: Exception.");
    }
    return false;
}

bool USB::GetAttachedDevices(char **keyBuffers, int *deviceIDs)
{
    try {
        std::vector<std::string> keys;
        std::vector<int> ids;
        {
            std::lock_guard<std::mutex> lock(registryMutex);
            for (const auto &[key, id] : keyRegistry) {
                keys.push_back(key);
                ids.push_back(id);
            }
        }
        if (!CopyKeys("vorn_usb_event_get_attached_devices", keys, keyBuffers))
            return false;
        std::copy(ids.begin(), ids.end(), deviceIDs);
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetAttachedDevices: Exception.");
    }
    return true;
}

bool USB::GetKeyFromDeviceID(int deviceID, char *keyBuffer)
{
    try {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (const auto &[key, id] : keyRegistry)
            if (id == deviceID) {
                CopyKey(keyBuffer, key);
                return true;
            }
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetKeyFromDeviceID: Exception.");
    }
    return false;
}
