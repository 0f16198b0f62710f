#pragma once
// What every fuzz target uses to state its invariants: a broken one aborts with a line saying
// which, so libFuzzer keeps the input as a crash. Threads: the fuzzing thread.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace vhbr::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

inline void check(bool holds, const char* what, const std::string& detail = {}) {
    if (!holds) fail(what, detail);
}

// For code that must not throw at all: succeeds<NeverThrown>(...).
struct NeverThrown {};

// Runs fn, which may fail only with Allowed: any other exception is a bug, because the caller
// catches only that type (or, from a C callback, nothing at all).
template <class Allowed, class Fn>
bool succeeds(Fn&& fn, const char* what) {
    try {
        fn();
        return true;
    } catch (const Allowed&) {
        return false;
    } catch (const std::exception& e) {
        fail(what, std::string("unexpected exception: ") + e.what());
    } catch (...) {
        fail(what, "unexpected exception of unknown type");
    }
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// True when text holds a C0 or C1 control character or DEL: such text must not reach a terminal,
// a dialog or a header unfiltered.
inline bool hasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return true;
        if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
            return true;
    }
    return false;
}

}  // namespace vhbr::fuzz
