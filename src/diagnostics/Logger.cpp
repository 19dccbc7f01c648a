// The log writer: file placement, line prefix, formatting and hex dumps.
#include "diagnostics/Logger.h"

#include "platform/ExceptionBoundary.h"
#include "platform/SystemNames.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
std::atomic<Logger *> instance{nullptr};
std::mutex creationMutex;

// The Logger reports nothing of its own failures: a line that cannot be
// written is lost, and the caller goes on.
template <class Body>
void Quietly(Body &&body)
{
    ostrel::CatchAll(std::forward<Body>(body), [] {});
}
} // namespace

Logger *Logger::GetInstance()
{
    Logger *existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr)
        return existing;
    Quietly([&] {
        std::lock_guard<std::mutex> lock(creationMutex);
        existing = instance.load(std::memory_order_relaxed);
        if (existing != nullptr)
            return;
        existing = new (std::nothrow) Logger();
        if (existing == nullptr)
            return;
        instance.store(existing, std::memory_order_release);
        existing->OpenLogFile();
    });
    return existing;
}

bool Logger::OpenLogFile()
{
    bool open = false;
    Quietly([&] {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (!logFile.is_open()) {
            const std::string path = LogFilePath();
            if (!path.empty())
                logFile.open(path, std::ios::out | std::ios::app);
        }
        open = logFile.is_open();
    });
    return open;
}

// Documents\Log\Log<date>_Native.txt, or in the folder OSTREL_LOG_DIR names
// (where a service or a CI run wants it); the same name in the current folder
// when neither folder can be had or made. Caller holds lineMutex.
std::string Logger::LogFilePath()
{
    char fileName[32];
    std::snprintf(fileName, sizeof fileName, "Log%.10s_Native.txt", BuildPrefix());

    const std::string separator = ostrel::platform::kPathSeparator;
    const char *chosen = std::getenv("OSTREL_LOG_DIR");
    char documents[MAX_PATH] = {};
    std::string folder;
    if (chosen != nullptr && *chosen != '\0')
        folder = chosen + separator;
    else if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        folder = std::string(documents) + separator + "Log" + separator;
    if (!folder.empty() && (CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) &&
        folder.size() + std::strlen(fileName) < MAX_PATH)
        return folder + fileName;
    char path[MAX_PATH] = {};
    if (GetFullPathNameA(fileName, sizeof path, path, nullptr) == 0)
        return std::string();
    return path;
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
    Quietly([&] {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (logFile.is_open())
            WriteLine("", text);
    });
}

void Logger::LogFormat(bool enable, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogFormatV(enable, format, arguments);
    va_end(arguments);
}

void Logger::LogFormatV(bool enable, const char *format, va_list arguments)
{
    if (!enable || format == nullptr)
        return;
    Quietly([&] {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (!logFile.is_open())
            return;
        int length = std::vsnprintf(messageBuffer, sizeof messageBuffer, format, arguments);
        if (length > 0 && length < static_cast<int>(sizeof messageBuffer))
            WriteLine("", messageBuffer);
    });
}

void Logger::LogLastError(DWORD errorCode)
{
    Quietly([&] {
        char *text = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (length == 0 || text == nullptr)
            return;
        LogFormat(true, "GetLastError = %s", text);
        LocalFree(text);
    });
}

void Logger::LogHex(bool enable, const char *prefix, const unsigned char *data, DWORD length)
{
    if (!enable)
        return;
    Quietly([&] {
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
    });
}
