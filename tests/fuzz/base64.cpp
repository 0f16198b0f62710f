// Base64 as it arrives in saved states (the source bookmark) and in the update feed (the package
// signature).
//
// Invariants: the strict decoder returns bytes or nothing, never throws; what it accepts is the
// canonical encoding of what it returns (one text per byte string, so a state saved again is
// byte-identical); any bytes encode to text that decodes to them again.

#include "Support/Base64.hpp"
#include "FuzzCheck.hpp"

using namespace vhbr;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    if (const auto decoded = base64Decode(input))
        check(base64Encode(*decoded) == input, "accepted Base64 that is not the canonical text",
              std::string(input));
    const std::string encoded = base64Encode(input);
    check(encoded.size() % 4 == 0, "an encoding of the wrong length");
    check(base64Decode(encoded) == std::string(input), "bytes do not survive a Base64 round trip");
    return 0;
}
