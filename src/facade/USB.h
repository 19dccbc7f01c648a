// The facade behind the exports: one object per process that owns the log
// switches, the transport, the discovery and the key registry. Each method the
// exports call catches everything and gives its failure value, writing its own
// exception line.
#pragma once

#include "diagnostics/LogLines.h"
#include "diagnostics/LogSwitches.h"
#include "diagnostics/SystemInfo.h"
#include "discovery/Discover.h"
#include "facade/KeyRegistry.h"
#include "transport/WinUSBWrap.h"

#include "ostrel.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class USB {
public:
    // The process's one USB object, created by the first call; null if it could
    // not be created (the next call tries again).
    static USB *GetInstance();
    // The device-event callback is the process's, not the object's: it is kept
    // even when the object cannot be had.
    static void SetEventCallback(DeviceEventCallback callback);

    int GetDeviceCount();

    // ---- Transfers (Transfer.cpp) ----
    bool Read(const char *key, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Read(int deviceID, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Write(const char *key, char *buffer, unsigned length, bool ascii);
    bool Write(int deviceID, char *buffer, unsigned length, bool ascii);

    // ---- Listings and the key registry (Listings.cpp) ----
    std::vector<std::string> GetDeviceKeys();
    std::string GetDeviceKeyFromDeviceID(int deviceID);
    void GetDeviceInfo(char *buffer);
    // Writes the count also when listing fails part-way.
    void GetDeviceIDModelSerial(int *deviceIDs, int *models, int *serialNumbers, int *count);
    std::vector<std::string> GetModelSerialKeys();
    void AssignKey(const char *key, int deviceID);
    bool RemoveKey(const char *key);
    std::vector<std::pair<std::string, int>> GetAttachedDevices();
    bool GetKeyFromDeviceID(int deviceID, std::string &key);

    // ---- Discovery modes (Modes.cpp) ----
    // Static discovery, then the device count; 1 when device IDs come from the
    // instruments and two of them share one, else 0.
    int OpenDevices(unsigned productID, bool useUSBAddress, int &deviceCount);
    void DiscoverDevicesDynamic(unsigned productID);
    void Shutdown();

    // ---- Logging control (LogControl.cpp) ----
    void SetLogging(bool on);
    void SetTraceLog(bool on);
    std::string GetOSName();

private:
    USB();
    ~USB() = default; // never destroyed: the object lives until the process ends

    void DiscoverDevicesStatic(unsigned productID, bool useUSBAddress);
    bool HasDuplicateDeviceID();
    template <class Name, class Use>
    bool WithEntry(const char *exceptionLine, const char *method, Name name, Use &&use);
    bool Read(EntryRef &entry, char *buffer, unsigned length, unsigned *bytesRead, bool ascii);
    bool Write(EntryRef &entry, char *buffer, unsigned length, bool ascii);
    bool WritePipe(EntryRef &entry, char *bytes, unsigned length);
    void Switch(std::atomic<bool> &which, bool on, const char *method);
    void WriteLogHeader();

    LogSwitches switches;
    const LogLines log;
    WinUSBWrap winUsb;
    Discover discover;
    SystemInfo systemInfo;
    KeyRegistry keyRegistry;
    std::mutex headerMutex;
    bool headerWritten = false;
};
