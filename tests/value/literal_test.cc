#include "value/literal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vqflow {
namespace {

TEST(Literal, ReadsTheNotation) {
  struct Case {
    std::string text;
    std::string json;  // expected value as JSON text
  };
  const std::vector<Case> cases = {
      {"[1, 'a', {'k': 'v'}, [2]]", R"([1, "a", {"k": "v"}, [2]])"},
      {"{'b': 1, 'a': [3]}", R"({"b": 1, "a": [3]})"},
      {"\"[1, 2]\"", R"("[1, 2]")"},
      {"[]", "[]"},
      {"{}", "{}"},
      {"  [ 1 ,\n 2 , ]  ", "[1, 2]"},
      {"{'a': 1,}", R"({"a": 1})"},
      {"[True, False, None]", "[true, false, null]"},
      {"(1, 2)", "[1, 2]"},
      {"(1,)", "[1]"},
      {"()", "[]"},
      {"(1)", "1"},
      {"([1])", "[1]"},
      {"[-3, +4, - 5, 1_000, 0x_ff, 0o17, -0b101, 00]", "[-3, 4, -5, 1000, 255, 15, -5, 0]"},
      {"[1.5, .5, 1., 1e3, -2.5, 1_0.2_5, 1E-5]", "[1.5, 0.5, 1.0, 1000.0, -2.5, 10.25, 1e-05]"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"99999999999999999999", "1e+20"},
      {"{1: 'a', 2.5: 'b', True: 'c', None: 'd', -1: 'e'}",
       R"({"1": "a", "2.5": "b", "True": "c", "None": "d", "-1": "e"})"},
      {"{'a': 1, 'b': 2, 'a': 3}", R"({"a": 3, "b": 2})"},
      {"'a' \"b\" 'c'", R"("abc")"},
      {"'''it's'''", R"("it's")"},
      {"\"it's\"", R"("it's")"},
      {"u'x'", R"("x")"},
      {"r'a\\n\\''", R"("a\\n\\'")"},
      {"'\\n\\t\\r\\\\\\'\\\"\\a\\b\\f\\v\\0\\101\\x41'",
       R"("\n\t\r\\'\"\u0007\b\f\u000b\u0000AA")"},
      {"'\\u00e9\\U0001f600'", R"("\u00e9\ud83d\ude00")"},
      {"'\\ud83d\\ude00'", R"("\ud83d\ude00")"},
      {"'\\ud800x'", R"("\ufffdx")"},
      {"'\\d'", R"("\\d")"},
      {"'a\\\nb'", R"("ab")"},
      {"'\xc3\xa9\xff'", R"("\u00e9\ufffd")"},
      {"\"\\\"\"", R"("\"")"},
  };
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(json_text(parse_literal(c.text)), c.json) << "text: " << c.text;
    } catch (const LiteralError& e) {
      ADD_FAILURE() << "text: " << c.text << ": " << e.what();
    }
  }
}

TEST(Literal, MapsKeepTheOrderWritten) {
  const Value map = parse_literal("{'z': 1, 'a': 2, 'm': {'y': 1, 'b': 2}}");
  EXPECT_EQ(json_text(map), R"({"z": 1, "a": 2, "m": {"y": 1, "b": 2}})");
  EXPECT_EQ(text_form(map), "{'z': 1, 'a': 2, 'm': {'y': 1, 'b': 2}}");
}

TEST(Literal, RefusesWhatIsNotInTheNotation) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"[true]",
       "invalid literal at offset 1: unknown name 'true' (the words are True, False "
       "and None)"},
      {"null",
       "invalid literal at offset 0: unknown name 'null' (the words are True, False "
       "and None)"},
      {"", "invalid literal at offset 0: expected a value, found end of text"},
      {"   ", "invalid literal at offset 3: expected a value, found end of text"},
      {"[1 2]", "invalid literal at offset 3: expected ',' or ']', found '2'"},
      {"[1,,2]", "invalid literal at offset 3: expected a value, found ','"},
      {"{'a' 1}", "invalid literal at offset 5: expected ':' after a map key, found '1'"},
      {"{'a': 1", "invalid literal at offset 7: expected ',' or '}', found end of text"},
      {"{[1]: 2}",
       "invalid literal at offset 1: expected a text, a number, True, False or None "
       "as a map key, found '['"},
      {"[1](", "invalid literal at offset 3: expected end of text, found '('"},
      {"'abc",
       "invalid literal at offset 4: expected the closing quote of the text at offset 0, "
       "found end of text"},
      {"'a\nb'",
       "invalid literal at offset 2: expected the closing quote of the text at offset "
       "0, found '\\n'"},
      {"1__0", "invalid literal at offset 2: expected a digit after '_', found '_'"},
      {"1_", "invalid literal at offset 2: expected a digit after '_', found end of text"},
      {"012",
       "invalid literal at offset 0: leading zeros are not allowed in an integer, found "
       "'0'"},
      {"1e", "invalid literal at offset 2: expected a digit in the exponent, found end of text"},
      {"1j", "invalid literal at offset 1: expected the end of the number, found 'j'"},
      {"1.2.3", "invalid literal at offset 3: expected the end of the number, found '.'"},
      {"-x", "invalid literal at offset 1: expected a number after the sign, found 'x'"},
      {"0x", "invalid literal at offset 2: expected a digit of the number, found end of text"},
      {"'\\x4'", "invalid literal at offset 4: expected 2 hex digits after \\x, found \"'\""},
      {"'\\U00110000'",
       "invalid literal at offset 3: expected a character code up to 0010ffff, "
       "found '0'"},
      {"'\\N{DASH}'",
       "invalid literal at offset 2: named character escapes are not supported, "
       "found 'N'"},
      {"b'x'",
       "invalid literal at offset 0: unknown name 'b' (the words are True, False and "
       "None)"},
      {"{1, 2}", "invalid literal at offset 2: expected ':' after a map key, found ','"},
  };
  for (const Case& c : cases) {
    try {
      const Value value = parse_literal(c.text);
      ADD_FAILURE() << "no error for: " << c.text << " (read " << json_text(value) << ")";
    } catch (const LiteralError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << "text: " << c.text;
    }
  }
}

TEST(Literal, DepthLimitFailsCleanly) {
  for (const char opener : {'[', '(', '{'}) {
    std::string text(100000, opener);
    if (opener == '{') {
      text.clear();
      for (int i = 0; i < 100000; ++i) text += "{'a':";
    }
    try {
      parse_literal(text);
      ADD_FAILURE() << "no error for nesting with " << opener;
    } catch (const LiteralError& e) {
      EXPECT_NE(std::string(e.what()).find("literal nests deeper than 512 levels at offset"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_NO_THROW(parse_literal(std::string(512, '[') + std::string(512, ']')));
  EXPECT_THROW(parse_literal("[[[]]]", 2), LiteralError);
}

}  // namespace
}  // namespace vqflow
