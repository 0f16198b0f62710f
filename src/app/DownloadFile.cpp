#include "DownloadFile.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "Support/Errors.hpp"

namespace vhbr {

namespace {

[[noreturn]] void throwErrno(const std::string& what, int error) {
    throw FileSystemError(what + ": " + std::strerror(error));
}

}  // namespace

DownloadFile::DownloadFile(std::filesystem::path destination) : destination_(std::move(destination)) {
    // Next to the destination (same file system: finishing is a rename), hidden, and private:
    // mkdtemp creates it with mode 0700 under a name nobody can predict.
    const auto folder =
        destination_.has_parent_path() ? destination_.parent_path() : std::filesystem::path(".");
    std::string pattern = (folder / ".velvetharbor-download-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throwErrno("Could not prepare the download in " + folder.string(), errno);
    stagingDirectory_ = pattern;
}

void DownloadFile::finish() const {
    std::error_code ec;
    // rename() replaces an existing file in one step; the destination is never half written.
    std::filesystem::rename(stagedFile(), destination_, ec);
    if (ec) throw FileSystemError("Could not save " + destination_.string() + ": " + ec.message());
}

void DownloadFile::cleanup() const noexcept {
    std::error_code ec;
    std::filesystem::remove_all(stagingDirectory_, ec);
}

}  // namespace vhbr
