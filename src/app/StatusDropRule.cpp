#include "StatusDropRule.hpp"

#include "AppLifecycle.hpp"

namespace vhbr::StatusDropRule {

std::vector<std::filesystem::path> acceptedFiles(const std::vector<std::string>& uris) {
    std::vector<std::filesystem::path> files;
    for (const auto& uri : uris)
        if (auto path = AppLifecycle::filePathFromURI(uri)) files.push_back(std::move(*path));
    return files;
}

bool acceptsDrag(const std::vector<std::string>& uris) { return !acceptedFiles(uris).empty(); }

}  // namespace vhbr::StatusDropRule
