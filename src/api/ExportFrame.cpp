// Argument checks and key copies of the exports.
#include "api/ExportFrame.h"

#include "diagnostics/LogLines.h"
#include "diagnostics/Logger.h"

#include <algorithm>
#include <cstring>

namespace ostrel::api {

bool Export::Present(const char *argument, const void *pointer) const
{
    if (pointer != nullptr)
        return true;
    LogLines(Logger::GetInstance()).ErrorFormat("%s: %s is null.", name, argument);
    return false;
}

bool Export::CopyKeys(const std::vector<std::string> &keys, char **keyBuffers) const
{
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keyBuffers[i] == nullptr) {
            LogLines(Logger::GetInstance()).ErrorFormat("%s: keyBuffers[%u] is null.", name, static_cast<unsigned>(i));
            return false;
        }
    }
    for (size_t i = 0; i < keys.size(); ++i)
        CopyKey(keyBuffers[i], keys[i]);
    return true;
}

void CopyKey(char *destination, const std::string &key)
{
    const size_t length = std::min<size_t>(key.size(), 63);
    std::memcpy(destination, key.c_str(), length);
    destination[length] = '\0';
}

} // namespace ostrel::api
