#include "Upload/FilePartWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

namespace fs = std::filesystem;

std::int64_t partCount(std::int64_t fileSize) {
    return fileSize > 0 ? (fileSize + kPartSize - 1) / kPartSize : 1;
}

namespace FilePartWriter {

namespace {

constexpr std::size_t kCopyBufferSize = 1 << 20;
constexpr std::int64_t kKernelCopyChunk = 4 << 20;  // between two looks at the stop token

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now so that a late write error (some file systems report it here) is not lost.
    int close() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

// Copies one part: the source range [offset, offset + length) into the part file; a source that
// ends early has changed since it was validated. Prefers copy_file_range (shared extents where the file system can); switches
// to read/write for good once the kernel or file system cannot do it. Memory stays at one buffer.
class PartCopier {
public:
    PartCopier(int source, const fs::path& sourcePath, std::stop_token stop)
        : source_(source), sourcePath_(sourcePath), stop_(std::move(stop)) {}

    void copy(std::int64_t partNumber, int target, const fs::path& targetPath, off_t offset,
              std::int64_t length) {
        part_ = partNumber;
        targetPath_ = &targetPath;
        off_t in = offset, out = 0;
        if (useKernelCopy_) copyInKernel(target, in, out, length);
        // Finishes what the kernel did not copy: after a fallback, or where a file system reports
        // an early end; at the true end of the source this is a single zero-length read.
        copyThroughBuffer(target, in, out, length);
        if (out < length) throw SourceFile::changedError(sourcePath_);
    }

private:
    void copyInKernel(int target, off_t& in, off_t& out, std::int64_t length) {
        while (out < length) {
            throwIfStopped();
            const auto chunk = std::min<std::int64_t>(length - out, kKernelCopyChunk);
            const ssize_t n = ::copy_file_range(source_, &in, target, &out, static_cast<std::size_t>(chunk), 0);
            if (n == 0) return;
            if (n > 0) continue;
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                useKernelCopy_ = false;
                return;
            }
            // copy_file_range does not say which side failed; ENOSPC and EFBIG are the target's.
            failWrite(errno);
        }
    }

    void copyThroughBuffer(int target, off_t& in, off_t& out, std::int64_t length) {
        while (out < length) {
            throwIfStopped();
            if (buffer_.empty()) buffer_.resize(kCopyBufferSize);
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length - out, buffer_.size()));
            const ssize_t n = ::pread(source_, buffer_.data(), want, in);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failRead(errno);
            if (n == 0) return;
            writeAll(target, static_cast<std::size_t>(n), out);
            in += n;
        }
    }

    void writeAll(int target, std::size_t count, off_t& out) {
        for (std::size_t done = 0; done < count;) {
            const ssize_t n = ::pwrite(target, buffer_.data() + done, count - done, out);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failWrite(errno);
            done += static_cast<std::size_t>(n);
            out += n;
        }
    }

    void throwIfStopped() const {
        if (stop_.stop_requested()) throw CancelledError();
    }

    [[noreturn]] void failRead(int err) const {
        throw FileSystemError(
            describeFileError("Could not read part " + std::to_string(part_) + " from", sourcePath_, err));
    }

    [[noreturn]] void failWrite(int err) const {
        throw FileSystemError(describeFileError("Could not write the part file", *targetPath_, err));
    }

    int source_;
    const fs::path& sourcePath_;
    const fs::path* targetPath_ = nullptr;
    std::int64_t part_ = 0;
    std::stop_token stop_;
    bool useKernelCopy_ = true;
    std::vector<char> buffer_;
};

fs::path partDirectory(const std::string& clientRequestId, const fs::path& directory) {
    if (!isUsableAsFileName(clientRequestId))
        throw FileSystemError("The upload key “" + clientRequestId + "” cannot name a folder.");
    return directory / clientRequestId;
}

void removeLeftovers(const fs::path& partDir) {
    std::error_code error;
    fs::remove_all(partDir, error);
    if (error)
        throw FileSystemError(
            describeFileError("Could not remove the old part files in", partDir, error.value()));
}

void writePart(PartCopier& copier, const PartFile& part, off_t offset) {
    FileDescriptor target(::open(part.fileURL.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (target.get() < 0)
        throw FileSystemError(describeFileError("Could not create the part file", part.fileURL, errno));
    copier.copy(part.partNumber, target.get(), part.fileURL, offset, part.size);
    if (target.close() != 0)
        throw FileSystemError(describeFileError("Could not write the part file", part.fileURL, errno));
}

}  // namespace

fs::path preparePartDirectory(const std::string& clientRequestId, const fs::path& directory) {
    const fs::path partDir = partDirectory(clientRequestId, directory);
    removeLeftovers(partDir);
    createPrivateDirectories(partDir);
    return partDir;
}

PartFile plannedPart(std::int64_t partNumber, std::int64_t fileSize, const fs::path& partDir) {
    const std::int64_t offset = (partNumber - 1) * kPartSize;
    return {partNumber, partDir / ("part-" + std::to_string(partNumber)),
            std::max<std::int64_t>(0, std::min(fileSize - offset, kPartSize))};
}

void writePart(int source, const fs::path& sourceURL, const PartFile& part, std::stop_token stop) {
    PartCopier copier(source, sourceURL, std::move(stop));
    writePart(copier, part, static_cast<off_t>((part.partNumber - 1) * kPartSize));
}

std::vector<PartFile> writeParts(const fs::path& sourceURL, std::int64_t fileSize,
                                 const std::string& clientRequestId, const fs::path& directory) {
    FileDescriptor source(::open(sourceURL.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) throw FileSystemError(describeFileError("Could not open", sourceURL, errno));
    return writeParts(source.get(), sourceURL, fileSize, clientRequestId, directory, {});
}

std::vector<PartFile> writeParts(int source, const fs::path& sourceURL, std::int64_t fileSize,
                                 const std::string& clientRequestId, const fs::path& directory,
                                 std::stop_token stop) {
    const fs::path partDir = preparePartDirectory(clientRequestId, directory);
    std::vector<PartFile> parts;
    const std::int64_t count = partCount(fileSize);
    for (std::int64_t n = 1; n <= count; ++n) {
        parts.push_back(plannedPart(n, fileSize, partDir));
        writePart(source, sourceURL, parts.back(), stop);
    }
    return parts;
}

std::error_code cleanup(const std::string& clientRequestId, const fs::path& directory) noexcept {
    if (!isUsableAsFileName(clientRequestId)) return {};
    std::error_code error;
    fs::remove_all(directory / clientRequestId, error);
    return error;
}

}  // namespace FilePartWriter

}  // namespace vhbr
