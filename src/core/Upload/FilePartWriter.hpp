#pragma once
// Cuts an upload's source file into the numbered part files that the part uploader sends.
//
// Threads: stateless; called from the upload's own job (a worker thread). Different uploads use
// different folders. Writing past the process's file-size limit must report EFBIG rather than
// kill the process: the application ignores SIGXFSZ at start-up.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

namespace vhbr {

inline constexpr std::int64_t kPartSize = 10'485'760;  // 10 MiB

struct PartFile {
    std::int64_t partNumber = 0;  // 1-based
    std::filesystem::path fileURL{};
    std::int64_t size = 0;  // planned length of the part

    bool operator==(const PartFile&) const = default;
};

// ceil(fileSize / kPartSize), and 1 for an empty or unknown size.
std::int64_t partCount(std::int64_t fileSize);

namespace FilePartWriter {

// Writes all parts, "part-1" … "part-N", into preparePartDirectory()'s folder and returns them in
// ascending order. Each record carries the planned length. Needs free space equal to fileSize
// (uploads write one part at a time instead, see writePart); copies in the kernel (sharing extents where the
// file system can) with bounded memory. Throws FileSystemError naming the part; parts written before a
// failure stay until cleanup().
std::vector<PartFile> writeParts(const std::filesystem::path& sourceURL, std::int64_t fileSize,
                                 const std::string& clientRequestId, const std::filesystem::path& directory);

// The same from an open source descriptor (sourceURL only names it in messages), checking stop
// between chunks (CancelledError), so a quit never waits for a whole copy. A source shorter than
// fileSize fails with SourceFile::changedError instead of writing short parts.
std::vector<PartFile> writeParts(int source, const std::filesystem::path& sourceURL, std::int64_t fileSize,
                                 const std::string& clientRequestId, const std::filesystem::path& directory,
                                 std::stop_token stop);

// The upload's part folder directory/clientRequestId (mode 0700), emptied of whatever an earlier
// run left there. Throws FileSystemError.
std::filesystem::path preparePartDirectory(const std::string& clientRequestId,
                                           const std::filesystem::path& directory);

// Part partNumber of a source of fileSize bytes: "part-" + partNumber in partDir, planned length.
PartFile plannedPart(std::int64_t partNumber, std::int64_t fileSize, const std::filesystem::path& partDir);

// Writes one part file from an open source descriptor, just before the part is sent, so a run
// needs disk for the parts in flight rather than for the whole file. Safe to call for different
// parts from several threads at once (positioned reads only). Checks stop between chunks
// (CancelledError); a source shorter than planned fails with SourceFile::changedError. A part
// begun and not finished stays until the caller removes it.
void writePart(int source, const std::filesystem::path& sourceURL, const PartFile& part, std::stop_token stop);

// Deletes directory/clientRequestId with its content; a missing folder is no error. Returns the
// failure, for the caller's log.
std::error_code cleanup(const std::string& clientRequestId, const std::filesystem::path& directory) noexcept;

}  // namespace FilePartWriter

}  // namespace vhbr
