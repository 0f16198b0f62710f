#include "Upload/UploadStateStore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/AppPaths.hpp"
#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace fs = std::filesystem;

namespace {

// A state holds at most a few kilobytes; anything far larger is not ours and is not read whole.
constexpr std::size_t kMaxStateFileSize = 1 << 20;

// The file's content, or nullopt when it cannot be read or exceeds the cap.
std::optional<std::string> readSmallFile(const fs::path& path) {
    // O_NONBLOCK: a FIFO given a state's name must not hang the launch.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxStateFileSize))
        return std::nullopt;
    std::string content;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return content;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > kMaxStateFileSize) return std::nullopt;
    }
}

bool isStateFileName(const std::string& name) {
    return !name.starts_with('.') && fs::path(name).extension() == ".json";
}

std::vector<fs::path> listStateFiles(const fs::path& directory) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        if (isStateFileName(it->path().filename().string())) files.push_back(it->path());
    if (error)
        throw FileSystemError(describeFileError("Could not list the folder", directory, error.value()));
    return files;
}

}  // namespace

UploadStateStore::UploadStateStore(std::optional<fs::path> directory)
    : directory_(directory ? std::move(*directory) : uploadsDirectory()) {
    createPrivateDirectories(directory_);
}

fs::path UploadStateStore::fileFor(const std::string& clientRequestId) const {
    if (!isUsableAsFileName(clientRequestId))
        throw FileSystemError("The upload key “" + clientRequestId + "” cannot name a file.");
    return directory_ / (clientRequestId + ".json");
}

void UploadStateStore::save(const UploadState& state) const {
    const fs::path target = fileFor(state.clientRequestId);
    writeFileAtomically(target, encodeUploadState(state));
}

std::vector<UploadState> UploadStateStore::loadIncompleteStates(const Log& log) const {
    std::error_code error;
    if (!fs::exists(directory_, error) && !error) return {};
    std::vector<UploadState> states;
    for (const fs::path& file : listStateFiles(directory_)) {
        auto content = readSmallFile(file);
        if (!content) {
            log.warning("Upload state " + file.filename().string() + " could not be read");
            continue;
        }
        try {
            states.push_back(decodeUploadState(*content));
        } catch (const DecodingError& e) {
            // Not a state we can use; it stays on disk untouched.
            log.warning("Upload state " + file.filename().string() + " left in place: " + e.what());
        }
    }
    std::stable_sort(states.begin(), states.end(),
                     [](const UploadState& a, const UploadState& b) { return a.updatedAt > b.updatedAt; });
    return states;
}

void UploadStateStore::remove(const std::string& clientRequestId) const {
    const fs::path file = fileFor(clientRequestId);
    if (::unlink(file.c_str()) != 0 && errno != ENOENT)
        throw FileSystemError(describeFileError("Could not remove", file, errno));
}

}  // namespace vhbr
