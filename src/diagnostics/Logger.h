// The process-wide log writer: timestamped lines appended to a daily file in
// the user's documents folder, each line written whole by one thread at a time.
#pragma once

#include "platform/winapi.h"

#include <cstdarg>
#include <fstream>
#include <mutex>
#include <string>

class Logger {
public:
    // The one Logger of the process, created (and its file opened) by the first
    // call; null only if the object itself could not be created.
    static Logger *GetInstance();

    // One line with the text, whenever the file is open.
    void Log(const char *text);
    // One printf-style line, only when enable is true; nothing when the text is
    // empty or longer than 1023 characters.
    void LogFormat(bool enable, const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    void LogFormatV(bool enable, const char *format, va_list arguments);
    // "GetLastError = <the system's text for the code>"; nothing if the system
    // has no text for it.
    void LogLastError(DWORD errorCode);
    // The caller's prefix followed by the bytes in hexadecimal ("0A FF 00"),
    // only when enable is true; at most the first 341 bytes are shown.
    void LogHex(bool enable, const char *prefix, const unsigned char *data, DWORD length);

    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

private:
    Logger() = default;
    bool OpenLogFile();
    std::string LogFilePath();
    const char *BuildPrefix();
    void WriteLine(const char *prefix, const char *text);

    // Guards the buffers and the stream: a line is prefixed, formatted and
    // written as one unit.
    std::mutex lineMutex;
    std::ofstream logFile;
    char prefixBuffer[64] = {};
    char messageBuffer[1024] = {};
};
