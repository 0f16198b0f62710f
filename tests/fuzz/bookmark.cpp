// The bookmark bytes of a saved upload (they come from the state file, so from the user's disk),
// and bookmarks made for arbitrary paths and file identities.
//
// Invariants: a damaged bookmark fails with AppError, and resolving one fails only with AppError
// or FileSystemError (the resume code catches those); a resolved file is an absolute path with no
// NUL in it, so the file examined is the file named; a bookmark made for a path and an identity
// refers to exactly that identity and not to the same file modified a nanosecond later.

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "FuzzCheck.hpp"
#include "Support/Errors.hpp"
#include "Upload/SourceBookmark.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

struct stat identityFrom(const std::uint8_t* data, std::size_t size) {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    std::uint64_t words[4] = {};
    std::memcpy(words, data, std::min(size, sizeof words));
    st.st_ino = words[0];
    st.st_size = static_cast<off_t>(words[1]);
    st.st_mtim.tv_sec = static_cast<time_t>(words[2]);
    st.st_mtim.tv_nsec = static_cast<long>(words[3] % 1000000000);
    return st;
}

void checkSavedBookmark(std::string_view bookmark) {
    struct stat some {};
    some.st_mode = S_IFREG;
    fuzz::succeeds<AppError>([&] { SourceBookmark::refersTo(bookmark, some); }, "refersTo");
    std::filesystem::path file;
    if (!fuzz::succeeds<Error>([&] { file = SourceBookmark::resolve(bookmark); }, "resolve")) return;
    check(file.is_absolute(), "a bookmark resolved to a relative path", file.string());
    check(file.string().find('\0') == std::string::npos, "a bookmark resolved to a path with NUL in it");
}

// The tail of the input (after the identity's 32 bytes) as a path, made into a bookmark.
void checkMadeBookmark(const std::uint8_t* data, std::size_t size) {
    if (size <= 32) return;
    std::string path(reinterpret_cast<const char*>(data) + 32, size - 32);
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return;
    const struct stat st = identityFrom(data, size);
    std::string bookmark;
    fuzz::succeeds<std::bad_alloc>([&] { bookmark = SourceBookmark::create(path, st); }, "create");
    check(fuzz::succeeds<AppError>(
              [&] {
                  check(SourceBookmark::refersTo(bookmark, st), "a bookmark does not refer to its own file");
              },
              "refersTo"),
          "a made bookmark reads as damaged", bookmark);
    struct stat other = st;
    other.st_mtim.tv_nsec = (st.st_mtim.tv_nsec + 1) % 1000000000;
    check(!SourceBookmark::refersTo(bookmark, other), "a bookmark refers to a changed file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkSavedBookmark(fuzz::asText(data, size));
    checkMadeBookmark(data, size);
    return 0;
}
