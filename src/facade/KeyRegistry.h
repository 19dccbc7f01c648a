// The caller's key registry: device keys mapped to device IDs, filled by static
// discovery and kept by event-mode callers themselves. It outlives the device
// table's changes (a key stays until it is removed or the library shuts down)
// and is guarded by its own lock.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class KeyRegistry {
public:
    // Adds the key, or gives it the new ID.
    void Assign(const std::string &key, int deviceID);
    // False when the key was not registered.
    bool Remove(const std::string &key);
    void Clear();

    // Every key with its ID, in ascending key order.
    std::vector<std::pair<std::string, int>> Entries() const;
    // For the IDs 0, 1, ... up to the number of keys minus one: the first key
    // in key order with that ID; IDs that no key has are skipped.
    std::vector<std::string> KeysInIDOrder() const;
    // The first key in key order with this ID; false when none has it.
    bool FirstKeyWithID(int deviceID, std::string &key) const;

private:
    mutable std::mutex mutex;
    std::map<std::string, int> keys;
};
