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
    if (mkdtemp(pattern) == nullptr || ostrel_sim_set_documents_folder(pattern) != 0)
        throw std::runtime_error("no private documents folder: mkdtemp failed or the log was already open");
    return pattern;
}

std::string LogPath(const std::string &documents)
{
    const std::time_t now = std::time(nullptr);
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
    std::vector<std::string> texts = LogLines(documents);
    for (std::string &text : texts) {
        // "YYYY-MM-DD hh:mm:ss.mmm, pid, tid, text": the text follows the third ", ".
        size_t at = 0;
        for (int i = 0; i < 3 && at != std::string::npos; ++i)
            if ((at = text.find(", ", at)) != std::string::npos)
                at += 2;
        if (at != std::string::npos)
            text.erase(0, at);
    }
    return texts;
}

int CountLog(const std::string &documents, const std::string &text, bool prefix)
{
    auto texts = LogTexts(documents);
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const std::string &t) {
        return prefix ? t.compare(0, text.size(), text) == 0 : t == text;
    }));
}

std::string DefaultPath(unsigned vid, unsigned pid, const std::string &serial)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x#", vid, pid);
    std::string path = "\\\\?\\usb#" + std::string(ids) + serial + "#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}";
    std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return std::tolower(c); });
    return path;
}

} // namespace ostrel::test
