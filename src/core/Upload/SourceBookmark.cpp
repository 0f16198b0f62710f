#include "Upload/SourceBookmark.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "Platform/AtomicFile.hpp"
#include "Support/Base64.hpp"
#include "Support/Errors.hpp"

namespace vhbr::SourceBookmark {

namespace fs = std::filesystem;

namespace {

struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;

    // The device number is recorded but not compared: on some file systems (btrfs, network and
    // removable disks) it is assigned at mount time and changes across reboots, which would make
    // every upload unresumable after one. Inode, size and nanosecond mtime together still tell a
    // replaced or rewritten file apart.
    bool sameFileAs(const Identity& other) const {
        return inode == other.inode && size == other.size && mtimeSeconds == other.mtimeSeconds &&
               mtimeNanoseconds == other.mtimeNanoseconds;
    }
};

Identity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
            static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

std::string quotedName(const fs::path& path) { return "“" + path.filename().string() + "”"; }

[[noreturn]] void damaged() {
    throw AppError("The saved reference to the original file is damaged. Start this upload again.");
}

struct Decoded {
    fs::path path;
    Identity identity;
};

// The whole number under key. A fraction, a negative number for an unsigned field, or a number
// beyond 64 bits (which the parser keeps as floating point) is damage: converting it would be
// undefined.
template <class T>
T wholeNumber(const nlohmann::json& object, const char* key) {
    const auto& value = object.at(key);
    if (!value.is_number_integer()) damaged();
    if constexpr (std::is_unsigned_v<T>) {
        if (!value.is_number_unsigned()) damaged();
    } else if (value.is_number_unsigned() &&
               value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        damaged();
    }
    return value.get<T>();
}

// The path travels as Base64 because Linux paths are bytes and need not be valid UTF-8.
Decoded decode(std::string_view bookmark) {
    try {
        const auto object = nlohmann::json::parse(bookmark);
        const auto path = base64Decode(object.at("path").get<std::string>());
        if (!path || path->empty() || path->front() != '/') damaged();
        return {*path,
                {wholeNumber<std::uint64_t>(object, "device"), wholeNumber<std::uint64_t>(object, "inode"),
                 wholeNumber<std::int64_t>(object, "size"), wholeNumber<std::int64_t>(object, "mtimeSeconds"),
                 wholeNumber<std::int64_t>(object, "mtimeNanoseconds")}};
    } catch (const nlohmann::json::exception&) {
        damaged();
    }
}

}  // namespace

std::string create(const fs::path& file) {
    std::error_code error;
    const fs::path absolute = fs::absolute(file, error).lexically_normal();
    if (error) throw FileSystemError(describeFileError("Could not find", file, error.value()));
    struct stat st {};
    if (::stat(absolute.c_str(), &st) != 0)
        throw FileSystemError(describeFileError("Could not read", file, errno));
    return create(absolute, st);
}

std::string create(const fs::path& file, const struct stat& status) {
    std::error_code error;
    const fs::path absolute = fs::absolute(file, error).lexically_normal();
    if (error) throw FileSystemError(describeFileError("Could not find", file, error.value()));
    const Identity id = identityOf(status);
    return nlohmann::json{{"path", base64Encode(absolute.string())},
                          {"device", id.device},
                          {"inode", id.inode},
                          {"size", id.size},
                          {"mtimeSeconds", id.mtimeSeconds},
                          {"mtimeNanoseconds", id.mtimeNanoseconds}}
        .dump();
}

bool refersTo(std::string_view bookmark, const struct stat& status) {
    return S_ISREG(status.st_mode) && identityOf(status).sameFileAs(decode(bookmark).identity);
}

fs::path resolve(std::string_view bookmark) {
    const Decoded saved = decode(bookmark);
    struct stat st {};
    if (::stat(saved.path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw AppError("The original file " + quotedName(saved.path) +
                           " could not be found. It may have been moved or deleted.");
        throw FileSystemError(describeFileError("Could not open the original file", saved.path, errno));
    }
    if (!S_ISREG(st.st_mode) || !identityOf(st).sameFileAs(saved.identity))
        throw AppError("The original file " + quotedName(saved.path) +
                       " has changed since the upload started. Start this upload again.");
    return saved.path;
}

}  // namespace vhbr::SourceBookmark
