#pragma once
// The typed Info.json installed beside the program (its version comes from the build).

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace vhbr {

class BundleInfo {
public:
    explicit BundleInfo(nlohmann::json dictionary) : dictionary_(std::move(dictionary)) {}

    // Reads file; a missing or malformed file gives an empty dictionary.
    static BundleInfo load(const std::filesystem::path& file);
    // <program dir>/../share/velvetharbor/Info.json of the running program.
    static const BundleInfo& main();

    const nlohmann::json& dictionary() const { return dictionary_; }
    // "CFBundleShortVersionString" when it is a string, otherwise "0.0".
    std::string shortVersionString() const;

private:
    nlohmann::json dictionary_;
};

}  // namespace vhbr
