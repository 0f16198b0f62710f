// A saved upload state as the next launch reads it from the user's disk (written by this or an
// older version, or damaged).
//
// Invariants: reading fails only with DecodingError (the store skips such a file and goes on);
// whatever decodes encodes again without error, and that text decodes to the same state and
// encodes to the same text (a state survives any number of save and load cycles); parts keep
// their order; a key that the store accepts as a file name names a file directly inside the
// store's folder.

#include <filesystem>

#include "FuzzCheck.hpp"
#include "Support/Errors.hpp"
#include "Upload/UploadState.hpp"

using namespace vhbr;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    UploadState state;
    if (!fuzz::succeeds<DecodingError>([&] { state = decodeUploadState(fuzz::asText(data, size)); },
                                       "decodeUploadState"))
        return 0;

    std::string saved;
    fuzz::succeeds<std::bad_alloc>([&] { saved = encodeUploadState(state); }, "encoding a decoded state");
    UploadState reloaded;
    check(fuzz::succeeds<DecodingError>([&] { reloaded = decodeUploadState(saved); }, "decodeUploadState"),
          "a saved state does not load again", saved);
    check(reloaded == state, "a state changed in a save and load cycle", saved);
    check(encodeUploadState(reloaded) == saved, "saving a reloaded state wrote other text", saved);

    if (isUsableAsFileName(state.clientRequestId)) {
        const std::filesystem::path folder = "/var/empty/Uploads";
        const auto file = (folder / (state.clientRequestId + ".json")).lexically_normal();
        check(file.parent_path() == folder, "an upload key names a file outside the store",
              state.clientRequestId);
        check(file.filename().string().find('\0') == std::string::npos, "an upload key holds NUL");
    }
    return 0;
}
