// How the tool writes: whole lines on stdout, messages on stderr, texts made short and bytes made hex.
#include "Output.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace ostrel::tool {
namespace {

std::mutex outputMutex;

// A message quotes this much of a command; a 100 KB block would bury it.
constexpr size_t kQuoted = 40;

} // namespace

void Say(const std::string &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Fail(int status, const std::string &message)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fflush(stdout);
    std::fprintf(stderr, "ostrel: %s\n", message.c_str());
    return status;
}

std::string Shorten(const std::string &text)
{
    if (text.size() <= kQuoted)
        return text;
    return text.substr(0, kQuoted - 8) + "... (" + std::to_string(text.size()) + " bytes)";
}

bool ParseHex(const std::vector<std::string> &words, std::string &bytes)
{
    std::string digits;
    for (const std::string &word : words)
        for (char c : word)
            if (c != ' ' && c != '\t')
                digits += c;
    if (digits.size() % 2 != 0 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
    return true;
}

std::string FormatHex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string Timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char text[32], withMillis[40];
    {
        // std::localtime hands back one buffer shared by every thread.
        static std::mutex localtimeMutex;
        std::lock_guard<std::mutex> lock(localtimeMutex);
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
    }
    std::snprintf(withMillis, sizeof withMillis, "%s.%03ld", text, millis);
    return withMillis;
}

} // namespace ostrel::tool
