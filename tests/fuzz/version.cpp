// Version strings, as a feed names them and as the running program and the skipped version are
// compared with them. The input is split at its first two line breaks into three versions.
//
// Invariants: the order is a total order (antisymmetric, reflexive, transitive over any three), so
// "newest" is well defined and no two feeds read in another order offer different updates; and
// for plain numbers it is the numbers' order, however long they are (a larger number is never
// older).

#include <algorithm>
#include <array>

#include "FuzzCheck.hpp"
#include "Update/VersionComparator.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

bool isPlainNumber(std::string_view v) {
    return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Compares two digit strings by value.
int compareNumbers(std::string_view a, std::string_view b) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = fuzz::asText(data, size);
    std::array<std::string_view, 3> v;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto newline = rest.find('\n');
        v[i] = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    }
    const auto cmp = [](std::string_view a, std::string_view b) {
        return sign(VersionComparator::compare(a, b));
    };
    for (const auto a : v) {
        check(cmp(a, a) == 0, "a version differs from itself", std::string(a));
        for (const auto b : v) {
            check(cmp(a, b) == -cmp(b, a), "the order is not antisymmetric",
                  std::string(a) + " | " + std::string(b));
            if (isPlainNumber(a) && isPlainNumber(b) && cmp(a, b) != 0)
                check(cmp(a, b) == compareNumbers(a, b), "plain numbers out of order",
                      std::string(a) + " | " + std::string(b));
        }
    }
    std::array<int, 3> order = {0, 1, 2};
    do {
        const auto x = v[order[0]], y = v[order[1]], z = v[order[2]];
        if (cmp(x, y) <= 0 && cmp(y, z) <= 0)
            check(cmp(x, z) <= 0, "the order is not transitive",
                  std::string(x) + " | " + std::string(y) + " | " + std::string(z));
    } while (std::next_permutation(order.begin(), order.end()));
    return 0;
}
