#pragma once
// A small string key-value store persisted as one JSON object, rewritten atomically on each change.
// Threads: any; one mutex guards the values.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vhbr {

class UserDefaults {
public:
    // Loads file if it exists; an unreadable or malformed file counts as empty (and is replaced
    // by the next write).
    explicit UserDefaults(std::filesystem::path file);

    // The store in configDirectory()/"defaults.json".
    static UserDefaults& standard();

    std::optional<std::string> string(const std::string& key) const;
    // Writing the defaults never fails for the caller: a failed write keeps the value in memory.
    void set(const std::string& key, const std::string& value);

private:
    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

}  // namespace vhbr
