// The caller's key registry.
#include "facade/KeyRegistry.h"

void KeyRegistry::Assign(const std::string &key, int deviceID)
{
    std::lock_guard<std::mutex> lock(mutex);
    keys[key] = deviceID;
}

bool KeyRegistry::Remove(const std::string &key)
{
    std::lock_guard<std::mutex> lock(mutex);
    return keys.erase(key) == 1;
}

void KeyRegistry::Clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    keys.clear();
}

std::vector<std::pair<std::string, int>> KeyRegistry::Entries() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<std::pair<std::string, int>>(keys.begin(), keys.end());
}

std::vector<std::string> KeyRegistry::KeysInIDOrder() const
{
    std::vector<std::string> listed;
    std::lock_guard<std::mutex> lock(mutex);
    const int registered = static_cast<int>(keys.size());
    for (int id = 0; id < registered; ++id)
        for (const auto &[key, keyID] : keys)
            if (keyID == id) {
                listed.push_back(key);
                break;
            }
    return listed;
}

bool KeyRegistry::FirstKeyWithID(int deviceID, std::string &found) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &[key, id] : keys)
        if (id == deviceID) {
            found = key;
            return true;
        }
    return false;
}
