// Helpers shared by the test suites.
#include "support/TestSupport.h"

#include "ostrel_sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace ostrel::test {

std::string UseTempDocuments()
{
    char pattern[] = "/tmp/ostrel-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (dir == nullptr)
        throw std::runtime_error("mkdtemp failed");
    if (ostrel_sim_set_documents_folder(dir) != 0)
        throw std::runtime_error("the log was already open");
    return dir;
}

std::string LogPath(const std::string &documents)
{
    std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return documents + "/Log/Log" + date + "_Native.txt";
}

std::vector<std::string> LogLines(const std::string &documents)
{
    std::vector<std::string> lines;
    std::ifstream in(LogPath(documents));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> LogTexts(const std::string &documents)
{
    std::vector<std::string> texts;
    for (const std::string &line : LogLines(documents)) {
        // "YYYY-MM-DD hh:mm:ss.mmm, pid, tid, text": the text follows the third ", ".
        size_t at = 0;
        for (int i = 0; i < 3 && at != std::string::npos; ++i) {
            at = line.find(", ", at);
            if (at != std::string::npos)
                at += 2;
        }
        texts.push_back(at == std::string::npos ? line : line.substr(at));
    }
    return texts;
}

int CountLog(const std::string &documents, const std::string &text)
{
    auto texts = LogTexts(documents);
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

bool LogHasPrefix(const std::string &documents, const std::string &prefix)
{
    for (const std::string &text : LogTexts(documents))
        if (text.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

std::string DefaultPath(unsigned vid, unsigned pid, const std::string &serial)
{
    char path[256];
    std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#%s#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}",
                  vid, pid, serial.c_str());
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

} // namespace ostrel::test
