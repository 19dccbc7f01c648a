// The log writer: file placement, line prefix, formatting and hex dumps.
#include "diagnostics/Logger.h"

#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
std::atomic<Logger *> instance{nullptr};
std::mutex creationMutex;
} // namespace

Logger *Logger::GetInstance()
{
    Logger *existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr)
        return existing;
    try {
        std::lock_guard<std::mutex> lock(creationMutex);
        existing = instance.load(std::memory_order_relaxed);
        if (existing != nullptr)
            return existing;
        Logger *created = new (std::nothrow) Logger();
        if (created == nullptr)
            return nullptr;
        instance.store(created, std::memory_order_release);
        created->OpenLogFile();
        return created;
    } catch (...) {
        return nullptr;
    }
}

bool Logger::OpenLogFile()
{
    try {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (logFile.is_open())
            return true;

        char fileName[32];
        std::snprintf(fileName, sizeof fileName, "Log%.10s_Native.txt", BuildPrefix());

        char path[MAX_PATH] = {};
        char documents[MAX_PATH] = {};
        bool inLogFolder = false;
        // OSTREL_LOG_DIR: where a service or a CI run wants the log instead.
        const char *logDir = std::getenv("OSTREL_LOG_DIR");
        const bool chosen = logDir != nullptr && *logDir != '\0';
        if (chosen || SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents))) {
            std::string folder = chosen ? std::string(logDir) + ostrel::platform::kPathSeparator
                                        : std::string(documents) + ostrel::platform::kPathSeparator + "Log" +
                                              ostrel::platform::kPathSeparator;
            if (CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
                std::string full = folder + fileName;
                if (full.size() < sizeof path) {
                    std::memcpy(path, full.c_str(), full.size() + 1);
                    inLogFolder = true;
                }
            }
        }
        if (!inLogFolder && GetFullPathNameA(fileName, sizeof path, path, nullptr) == 0)
            return false;

        logFile.open(path, std::ios::out | std::ios::app);
        return logFile.is_open();
    } catch (...) {
        return false;
    }
}

const char *Logger::BuildPrefix()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::snprintf(prefixBuffer, sizeof prefixBuffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d, %d, %d, ", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()));
    return prefixBuffer;
}

// Caller holds lineMutex.
void Logger::WriteLine(const char *prefix, const char *text)
{
    logFile << BuildPrefix() << prefix << text << '\n';
    logFile.flush();
}

void Logger::Log(const char *text)
{
    if (text == nullptr)
        return;
    try {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (!logFile.is_open())
            return;
        WriteLine("", text);
    } catch (...) {
    }
}

void Logger::LogFormat(bool enable, const char *format, ...)
{
    if (!enable || format == nullptr)
        return;
    try {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (!logFile.is_open())
            return;
        va_list arguments;
        va_start(arguments, format);
        int length = std::vsnprintf(messageBuffer, sizeof messageBuffer, format, arguments);
        va_end(arguments);
        if (length <= 0 || length >= static_cast<int>(sizeof messageBuffer))
            return;
        WriteLine("", messageBuffer);
    } catch (...) {
    }
}

void Logger::LogLastError(DWORD errorCode)
{
    try {
        char *text = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (length == 0 || text == nullptr)
            return;
        LogFormat(true, "GetLastError = %s", text);
        LocalFree(text);
    } catch (...) {
    }
}

void Logger::LogHex(bool enable, const char *prefix, const unsigned char *data, DWORD length)
{
    if (!enable)
        return;
    try {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (!logFile.is_open())
            return;
        // Three characters a byte ("XX " but no blank before the first), so 341
        // bytes fill the buffer with its terminator.
        const DWORD shown = data == nullptr ? 0 : std::min<DWORD>(length, (sizeof messageBuffer - 1) / 3);
        static const char digits[] = "0123456789ABCDEF";
        char *out = messageBuffer;
        for (DWORD i = 0; i < shown; ++i) {
            if (i > 0)
                *out++ = ' ';
            *out++ = digits[data[i] >> 4];
            *out++ = digits[data[i] & 0x0F];
        }
        *out = '\0';
        WriteLine(prefix == nullptr ? "" : prefix, messageBuffer);
    } catch (...) {
    }
}
