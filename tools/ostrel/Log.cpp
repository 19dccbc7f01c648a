// The library's log as the tool reads it: this process's lines since a mark.
#include "Log.h"

#include "System.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace ostrel::tool {

std::string LogPath()
{
    const std::string open = os::OpenLogFile();
    if (!open.empty())
        return open;
    char name[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "Log%Y-%m-%d_Native.txt", std::localtime(&now));
    return os::LogFolderByRule() + name;
}

std::string LogFolderProblem()
{
    const char *chosen = std::getenv("OSTREL_LOG_DIR");
    if (chosen == nullptr || *chosen == '\0')
        return "";
    const std::string folder = chosen;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return "OSTREL_LOG_DIR names " + folder + ", which is not a folder";
    // Writable as the library opens its file: for appending, by this user.
    const std::filesystem::path probe = std::filesystem::path(folder) / (".ostrel-" + std::to_string(os::ProcessId()));
    const bool writable = static_cast<bool>(std::ofstream(probe, std::ios::app));
    std::filesystem::remove(probe, error);
    return writable ? "" : "OSTREL_LOG_DIR names " + folder + ", a folder this user cannot write to";
}

LogMark::LogMark() : path(LogPath())
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    offset = file ? static_cast<long long>(file.tellg()) : 0;
}

std::vector<std::string> LogMark::NewTexts() const
{
    std::ifstream file(path, std::ios::binary);
    file.seekg(offset);
    // "<date> <time>, <process>, <thread>, <text>" (the date and time take 23
    // characters), CR LF on Windows.
    const std::string self = ", " + std::to_string(os::ProcessId()) + ", ";
    std::vector<std::string> texts;
    for (std::string line; std::getline(file, line);) {
        const size_t process = line.find(self);
        const size_t text = process == std::string::npos ? process : line.find(", ", process + self.size());
        if (process != 23 || text == std::string::npos)
            continue;
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        texts.push_back(line.substr(text + 2));
    }
    return texts;
}

std::string LogMark::Last(const std::vector<std::string> &prefixes) const
{
    const std::vector<std::string> texts = NewTexts();
    for (auto text = texts.rbegin(); text != texts.rend(); ++text)
        for (const std::string &prefix : prefixes)
            if (text->compare(0, prefix.size(), prefix) == 0)
                return *text;
    return "";
}

} // namespace ostrel::tool
