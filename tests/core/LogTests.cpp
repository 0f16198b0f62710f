// What reaches a log line: never a URL's query (presigned signatures) nor a bearer token.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Support/Log.hpp"

namespace vhbr::test {
namespace {

TEST(Log, NeverCarriesQueriesOrTokens) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"PUT https://s.test/storage/k?X-Vhbr-Signature=abc&e=1 failed",
         "PUT https://s.test/storage/k?… failed"},
        {"see http://h.test/a#frag.", "see http://h.test/a?…"},
        {"\"https://x.test/p?q=1\"", "\"https://x.test/p?…\""},
        {"Authorization: Bearer vhbr_123 sent", "Authorization: Bearer … sent"},
        {"two\nlines", "two lines"},
        {"why? http://a.test/b?q=1 then? https://c.test/?x",
         "why? http://a.test/b?… then? https://c.test/?…"}};
    for (const auto& [text, scrubbed] : cases) EXPECT_EQ(scrubForLog(text), scrubbed);
}

}  // namespace
}  // namespace vhbr::test
