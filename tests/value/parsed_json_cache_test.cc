#include "value/parsed_json_cache.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace vqflow {
namespace {

TEST(ParsedJsonCache, SharesOneDocumentPerTextAndStaysBounded) {
  ParsedJsonCache cache(2, 1000);
  auto first = cache.parse(R"({"a": 1})");
  EXPECT_EQ(cache.parse(R"({"a": 1})"), first);
  EXPECT_EQ((*first)["a"], 1);
  EXPECT_NE(cache.parse(R"({"a": 1} )"), first);  // another text, another document

  // Least recently used goes first: {"a": 1} was used last but one.
  cache.parse(R"({"a": 1})");
  cache.parse("[3]");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.parse(R"({"a": 1})"), first);

  // Text beyond a quarter of the byte bound is parsed every time, not kept.
  const std::string big = "\"" + std::string(300, 'x') + "\"";
  EXPECT_NE(cache.parse(big), cache.parse(big));
  EXPECT_EQ(cache.size(), 2u);
}

TEST(ParsedJsonCache, FailuresAreNotKept) {
  ParsedJsonCache cache;
  EXPECT_THROW(cache.parse("{oops"), JsonError);
  EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
}  // namespace vqflow
