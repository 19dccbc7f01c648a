// The caller's transfers: ASCII lines and binary blocks, by key or device ID.
#include "diagnostics/Logger.h"
#include "discovery/ReplyParsing.h"
#include "facade/USB.h"

#include <cstdio>
#include <string>

void USB::LogNoDevice(const char *method, const char *key, int deviceID)
{
    if (logger == nullptr)
        return;
    if (key != nullptr)
        logger->LogFormat(true, "%s: No device with key '%s'.", method, key);
    else
        logger->LogFormat(true, "%s: No device with ID %d.", method, deviceID);
}

bool USB::Read(const char *key, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    try {
        EntryRef entry = discover.GetDeviceTableEntry(std::string(key));
        if (!entry) {
            *bytesRead = 0;
            LogNoDevice("USB::Read", key, 0);
            return false;
        }
        return Read(entry.get(), buffer, length, bytesRead, ascii);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Read: Device Key Exception.");
    }
    return false;
}

bool USB::Read(int deviceID, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    try {
        EntryRef entry = discover.GetDeviceTableEntry(deviceID);
        if (!entry) {
            *bytesRead = 0;
            LogNoDevice("USB::Read", nullptr, deviceID);
            return false;
        }
        return Read(entry.get(), buffer, length, bytesRead, ascii);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Read: Device ID Exception.");
    }
    return false;
}

bool USB::Read(DeviceTableEntry *entry, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    try {
        ULONG received = 0;
        if (!winUsb.ReadPipe(entry->winUsbHandle, entry->bulkInPipeID, reinterpret_cast<PUCHAR>(buffer), length,
                             received)) {
            *bytesRead = 0;
            return false;
        }
        if (!ascii) {
            *bytesRead = received;
            if (logger != nullptr && loggingEnabled) {
                char heading[64];
                std::snprintf(heading, sizeof heading, "USB::Read Binary BytesRead = %u, Data = ",
                              static_cast<unsigned>(received));
                logger->LogHex(true, heading, reinterpret_cast<const unsigned char *>(buffer), received);
            }
            return true;
        }
        const size_t end = ostrel::ReplyTextLength(buffer, received);
        if (end >= length) {
            // No line end, and no room left for the NUL: handing it back as
            // text would run past the caller's buffer.
            *bytesRead = 0;
            if (logger != nullptr)
                logger->LogFormat(true, "USB::Read: Reply of %u bytes has no line end and fills the buffer.",
                                  static_cast<unsigned>(received));
            return false;
        }
        buffer[end] = '\0';
        *bytesRead = static_cast<unsigned>(end);
        if (logger != nullptr)
            logger->LogFormat(loggingEnabled, "USB::Read ASCII Len = %u, Data = '%s'", *bytesRead, buffer);
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Read: Exception.");
    }
    return false;
}

bool USB::Write(const char *key, char *buffer, unsigned length, bool ascii)
{
    try {
        EntryRef entry = discover.GetDeviceTableEntry(std::string(key));
        if (!entry) {
            LogNoDevice("USB::Write", key, 0);
            return false;
        }
        return Write(entry.get(), buffer, length, ascii);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Write: Device Key Exception.");
    }
    return false;
}

bool USB::Write(int deviceID, char *buffer, unsigned length, bool ascii)
{
    try {
        EntryRef entry = discover.GetDeviceTableEntry(deviceID);
        if (!entry) {
            LogNoDevice("USB::Write", nullptr, deviceID);
            return false;
        }
        return Write(entry.get(), buffer, length, ascii);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Write: Device ID Exception.");
    }
    return false;
}

bool USB::Write(DeviceTableEntry *entry, char *buffer, unsigned length, bool ascii)
{
    try {
        ULONG written = 0;
        if (!ascii) {
            if (logger != nullptr && loggingEnabled) {
                char heading[64];
                std::snprintf(heading, sizeof heading, "USB::Write Binary ByteLen = %u, Data = ", length);
                logger->LogHex(true, heading, reinterpret_cast<const unsigned char *>(buffer), length);
            }
            return winUsb.WritePipe(entry->winUsbHandle, entry->bulkOutPipeID, reinterpret_cast<PUCHAR>(buffer),
                                    length, written);
        }
        std::string text(buffer);
        if (logger != nullptr)
            logger->LogFormat(loggingEnabled, "USB::Write ASCII Len = %u, data = '%s'",
                              static_cast<unsigned>(text.size()), buffer);
        if (text.empty() || text.back() != '\r')
            text += '\r';
        return winUsb.WritePipe(entry->winUsbHandle, entry->bulkOutPipeID, reinterpret_cast<PUCHAR>(&text[0]),
                                static_cast<ULONG>(text.size()), written);
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::Write: Exception.");
    }
    return false;
}
