#include "Support/BundleInfo.hpp"

#include <fstream>

namespace vhbr {

BundleInfo BundleInfo::load(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) return BundleInfo(nlohmann::json::object());
    auto json = nlohmann::json::parse(in, nullptr, false);
    return BundleInfo(json.is_object() ? std::move(json) : nlohmann::json::object());
}

const BundleInfo& BundleInfo::main() {
    static const BundleInfo info = [] {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return load(exe.parent_path().parent_path() / "share" / "velvetharbor" / "Info.json");
    }();
    return info;
}

std::string BundleInfo::shortVersionString() const {
    auto it = dictionary_.find("CFBundleShortVersionString");
    if (it != dictionary_.end() && it->is_string()) return it->get<std::string>();
    return "0.0";
}

}  // namespace vhbr
