#include "base/regex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vqflow {
namespace {

using Groups = Regex::Groups;

TEST(Regex, FirstMatchGivesEveryGroupOrItsAbsence) {
  struct Case {
    std::string pattern, subject;
    std::optional<Groups> expected;
  };
  const std::vector<Case> cases = {
      {R"((\w+)=(\d+))", "x id=42 y=7", Groups{"id=42", "id", "42"}},
      {"(a)|(b)", "b", Groups{"b", std::nullopt, "b"}},
      {"(a)(x)?", "a", Groups{"a", "a", std::nullopt}},  // a trailing group that took no part
      {"(x)?(y)?z", "z", Groups{"z", std::nullopt, std::nullopt}},
      {"", "abc", Groups{""}},
      {R"(^\w+$)", "café", Groups{"café"}},
      {"z", "abc", std::nullopt},
      {"^b$", "a\nb", std::nullopt},  // "$" is the end of the subject only
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Regex(c.pattern).first_match(c.subject), c.expected) << c.pattern;
  }
}

TEST(Regex, CompileErrorsSayWhereAndWhy) {
  try {
    Regex bad("(a");
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_EQ(e.kind(), RegexError::Kind::compile);
    EXPECT_EQ(e.reason(), "missing closing parenthesis");
    EXPECT_EQ(e.offset(), 2u);
    EXPECT_STREQ(e.what(), "regex `(a`: at offset 2: missing closing parenthesis");
  }

  RegexOptions short_patterns;
  short_patterns.max_pattern_length = 4;
  EXPECT_NO_THROW(Regex("abcd", short_patterns));
  try {
    Regex longer("abcde", short_patterns);
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_EQ(e.kind(), RegexError::Kind::compile);
    EXPECT_EQ(e.reason(), "pattern string is longer than the limit set by the application");
    EXPECT_EQ(e.offset(), 0u);
  }
}

TEST(Regex, InvalidUtf8SubjectsAreMatchedUnlessRefused) {
  EXPECT_TRUE(
      Regex("b").search("a\xff"
                        "b"));
  EXPECT_EQ(Regex("(b)").first_match("\xff"
                                     "b"),
            (Groups{"b", "b"}));

  RegexOptions strict;
  strict.match_invalid_utf = false;
  EXPECT_TRUE(Regex("b", strict).search("ab"));
  try {
    Regex("b", strict).first_match("a\x80");
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_EQ(e.kind(), RegexError::Kind::match);
    EXPECT_EQ(e.reason(), "UTF-8 error: isolated byte with 0x80 bit set");
  }
}

TEST(Regex, LimitsStopBacktrackingUnlessTheLibraryBoundsAreAskedFor) {
  const std::string subject = std::string(18, 'a') + "!";  // about 2^18 steps
  try {
    Regex("(a+)+$").first_match(subject);
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_EQ(e.kind(), RegexError::Kind::limit);
    EXPECT_NE(std::string(e.what()).find("(the pattern backtracks too much on this text)"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(Regex("(a+)+$", RegexLimits::library_defaults()).search(subject));
}

}  // namespace
}  // namespace vqflow
