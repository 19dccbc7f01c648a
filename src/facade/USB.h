// The facade behind the exports: one object per process that owns the
// discovery, a transport for the caller's transfers, the log switches and the
// key registry. Every method catches everything and returns its failure value.
#pragma once

#include "diagnostics/SystemInfo.h"
#include "discovery/Discover.h"
#include "transport/WinUSBWrap.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

class Logger;

class USB {
public:
    // The process's one USB object, created by the first call; null if it could
    // not be created (the next call tries again).
    static USB *GetInstance();

    int GetDeviceCount();

    // ---- Transfers (Transfer.cpp) ----
    bool Read(const char *key, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Read(int deviceID, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Read(DeviceTableEntry *entry, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Write(const char *key, char *buffer, unsigned length, bool ascii);
    bool Write(int deviceID, char *buffer, unsigned length, bool ascii);
    bool Write(DeviceTableEntry *entry, char *buffer, unsigned length, bool ascii);

    // ---- Listings and the key registry (Listings.cpp) ----
    // Each returns false (after logging it) when a key buffer in the caller's
    // array is null.
    int GetDeviceKeys(char **keyBuffers);
    void GetDeviceKeyFromDeviceID(int deviceID, char *keyBuffer);
    void GetDeviceInfo(char *buffer);
    void GetDeviceIDModelSerial(int *deviceIDs, int *models, int *serialNumbers, int *count);
    bool GetModelSerialKeys(char **keyBuffers);
    void AssignKey(const char *key, int deviceID);
    bool RemoveKey(const char *key);
    bool GetAttachedDevices(char **keyBuffers, int *deviceIDs);
    bool GetKeyFromDeviceID(int deviceID, char *keyBuffer);

    // ---- Discovery modes (Modes.cpp) ----
    void DiscoverDevicesStatic(unsigned productID, bool useUSBAddress);
    bool HasDuplicateDeviceID();
    void DiscoverDevicesDynamic(unsigned productID);
    void Shutdown();

    // ---- Logging control (LogControl.cpp) ----
    void SetLogging(bool on);
    void SetTraceLog(bool on);
    void WriteLogHeader();
    std::string GetOSName();

    // Writes "<function>: <argument> is null." and returns false for a null
    // pointer, so that bad input gives an error line instead of a crash.
    bool ArgumentPresent(const char *function, const char *argument, const void *pointer);

    Logger *logger = nullptr;
    Discover discover;
    WinUSBWrap winUsb;
    SystemInfo systemInfo;
    std::atomic<bool> loggingEnabled{false};
    std::atomic<bool> traceEnabled{false};
    bool headerWritten = false;
    std::map<std::string, int> keyRegistry;

private:
    USB();
    ~USB() = default; // never destroyed: the object lives until the process ends
    bool CopyKeys(const char *function, const std::vector<std::string> &keys, char **keyBuffers);
    void LogNoDevice(const char *method, const char *key, int deviceID);

    std::mutex headerMutex;
    std::mutex registryMutex;
};
