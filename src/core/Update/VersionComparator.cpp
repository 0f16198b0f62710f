#include "Update/VersionComparator.hpp"

#include <cctype>
#include <cstdint>

namespace vhbr {

namespace {

// One dot-separated segment: its leading number and whatever text follows it ("3b1" -> 3, "b1").
struct Segment {
    std::uint64_t number = 0;
    std::string_view suffix;
};

Segment takeSegment(std::string_view& rest) {
    const auto dot = rest.find('.');
    std::string_view text = rest.substr(0, dot);
    rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    Segment s;
    std::size_t i = 0;
    // A number too large for 64 bits saturates: it stays above every smaller one instead of
    // wrapping or stopping at a value that a shorter number could exceed.
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        s.number = s.number > (UINT64_MAX - digit) / 10 ? UINT64_MAX : s.number * 10 + digit;
    }
    s.suffix = text.substr(i);
    return s;
}

// Text compared as text and digit runs as numbers, so "b10" follows "b2".
int compareNaturally(std::string_view a, std::string_view b) {
    while (!a.empty() && !b.empty()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a.front()));
        const bool digitB = std::isdigit(static_cast<unsigned char>(b.front()));
        if (digitA && digitB) {
            std::string_view rest = a;
            const Segment x = takeSegment(rest);
            rest = b;
            const Segment y = takeSegment(rest);
            if (x.number != y.number) return x.number < y.number ? -1 : 1;
            a = x.suffix;
            b = y.suffix;
        } else {
            if (a.front() != b.front()) return a.front() < b.front() ? -1 : 1;
            a.remove_prefix(1);
            b.remove_prefix(1);
        }
    }
    return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
}

int compareSegments(const Segment& a, const Segment& b) {
    if (a.number != b.number) return a.number < b.number ? -1 : 1;
    if (a.suffix == b.suffix) return 0;
    // A bare number is the release; any suffix marks a pre-release of it.
    if (a.suffix.empty()) return 1;
    if (b.suffix.empty()) return -1;
    return compareNaturally(a.suffix, b.suffix);
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    return v;
}

}  // namespace

int VersionComparator::compare(std::string_view a, std::string_view b) {
    a = trimmed(a);
    b = trimmed(b);
    // Missing trailing segments count as zero, so "1.2" and "1.2.0" are the same version.
    while (!a.empty() || !b.empty()) {
        if (int c = compareSegments(takeSegment(a), takeSegment(b)); c != 0) return c;
    }
    return 0;
}

}  // namespace vhbr
