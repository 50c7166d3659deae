#include "base/plain_id.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/utf8.h"

namespace vqflow {
namespace {

TEST(PlainId, ShortTextsWithoutBlanksControlsOrTheKeySeparator) {
  struct Case {
    std::string id;
    bool plain;
  };
  const std::vector<Case> cases = {
      {"a", true},
      {"5e1f0000-0000-4000-8000-000000000001", true},
      {"日本-ノード", true},
      {std::string(128, 'x'), true},
      {std::string(129, 'x'), false},
      {"", false},
      {"a b", false},
      {"a\tb", false},
      {"a\nb", false},
      {std::string("a\0b", 3), false},
      {"a\x7f", false},
      {"a&&b", false},
      {"a&b", true},
  };
  for (const Case& c : cases) EXPECT_EQ(is_plain_id(c.id), c.plain) << c.id;
}

TEST(PositionInText, LinesEndAtLineFeedsAndColumnsCountCharacters) {
  struct Case {
    std::string text;
    std::size_t offset, line, column;
  };
  const std::vector<Case> cases = {
      {"", 0, 1, 1},          {"abc", 3, 1, 4},       {"a\nb", 2, 2, 1}, {"a\r\nb", 3, 2, 1},
      {"\xc3\xa4x", 2, 1, 2}, {"\xff\xfex", 2, 1, 3},  // ill-formed bytes count one each
      {"ab", 9, 1, 3},                                 // beyond the end: the end
  };
  for (const Case& c : cases) {
    const TextPosition at = position_in_text(c.text, c.offset);
    EXPECT_EQ(at.line, c.line) << c.text << " @" << c.offset;
    EXPECT_EQ(at.column, c.column) << c.text << " @" << c.offset;
    EXPECT_EQ(at.offset, c.offset);
  }
}

}  // namespace
}  // namespace vqflow
