// The caller's transfers: ASCII lines and binary blocks, by key or device ID.
#include "facade/USB.h"

#include "parsing/ReplyParsing.h"
#include "recording/Recorder.h"

#include <string>

namespace {

using ostrel::recording::Recorder;

void LogNoDevice(const LogLines &log, const char *method, const char *key)
{
    log.ErrorFormat("%s: No device with key '%s'.", method, key);
}

void LogNoDevice(const LogLines &log, const char *method, int deviceID)
{
    log.ErrorFormat("%s: No device with ID %d.", method, deviceID);
}

} // namespace

// Looks the instrument up afresh and runs `use` on it with its handles held,
// so that a removal or Shutdown meanwhile waits for the transfer to end.
template <class Name, class Use>
bool USB::WithEntry(const char *exceptionLine, const char *method, Name name, Use &&use)
{
    return GuardedLine(log, exceptionLine, false, [&] {
        EntryRef entry = discover.GetDeviceTableEntry(name);
        if (!entry) {
            LogNoDevice(log, method, name);
            return false;
        }
        return use(entry);
    });
}

bool USB::Read(const char *key, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    *bytesRead = 0;
    return WithEntry("USB::Read: Device Key Exception.", "USB::Read", key,
                     [&](EntryRef &entry) { return Read(entry, buffer, length, bytesRead, ascii); });
}

bool USB::Read(int deviceID, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    *bytesRead = 0;
    return WithEntry("USB::Read: Device ID Exception.", "USB::Read", deviceID,
                     [&](EntryRef &entry) { return Read(entry, buffer, length, bytesRead, ascii); });
}

bool USB::Read(EntryRef &entry, char *buffer, unsigned length, unsigned *bytesRead, bool ascii)
{
    return Guarded(log, "USB::Read", false, [&] {
        ULONG received = 0;
        if (!winUsb.ReadPipe(entry->winUsbHandle, entry->bulkInPipeID, reinterpret_cast<PUCHAR>(buffer), length,
                             received))
            return false;
        if (Recorder *recorder = Recorder::Active())
            recorder->Read(entry->devicePath, std::string_view(buffer, received));
        if (!ascii) {
            *bytesRead = received;
            log.DataHex(buffer, received, "USB::Read Binary BytesRead = %u, Data = ", static_cast<unsigned>(received));
            return true;
        }
        const size_t end = ostrel::ReplyTextLength(buffer, received);
        if (end >= length) {
            // No line end, and no room left for the NUL: handing it back as
            // text would run past the caller's buffer.
            log.ErrorFormat("USB::Read: Reply of %u bytes has no line end and fills the buffer.",
                            static_cast<unsigned>(received));
            return false;
        }
        buffer[end] = '\0';
        *bytesRead = static_cast<unsigned>(end);
        log.Data("USB::Read ASCII Len = %u, Data = '%s'", *bytesRead, buffer);
        return true;
    });
}

bool USB::Write(const char *key, char *buffer, unsigned length, bool ascii)
{
    return WithEntry("USB::Write: Device Key Exception.", "USB::Write", key,
                     [&](EntryRef &entry) { return Write(entry, buffer, length, ascii); });
}

bool USB::Write(int deviceID, char *buffer, unsigned length, bool ascii)
{
    return WithEntry("USB::Write: Device ID Exception.", "USB::Write", deviceID,
                     [&](EntryRef &entry) { return Write(entry, buffer, length, ascii); });
}

bool USB::Write(EntryRef &entry, char *buffer, unsigned length, bool ascii)
{
    return Guarded(log, "USB::Write", false, [&] {
        if (!ascii) {
            log.DataHex(buffer, length, "USB::Write Binary ByteLen = %u, Data = ", length);
            return WritePipe(entry, buffer, length);
        }
        std::string text(buffer);
        log.Data("USB::Write ASCII Len = %u, data = '%s'", static_cast<unsigned>(text.size()), buffer);
        if (text.empty() || text.back() != '\r')
            text += '\r';
        return WritePipe(entry, &text[0], static_cast<unsigned>(text.size()));
    });
}

bool USB::WritePipe(EntryRef &entry, char *bytes, unsigned length)
{
    ULONG written = 0;
    if (!winUsb.WritePipe(entry->winUsbHandle, entry->bulkOutPipeID, reinterpret_cast<PUCHAR>(bytes), length,
                          written))
        return false;
    if (Recorder *recorder = Recorder::Active())
        recorder->Wrote(entry->devicePath, std::string_view(bytes, written));
    return true;
}
