#include "value/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/errors.h"

namespace vqflow {
namespace {

constexpr long long k_max = std::numeric_limits<long long>::max();
constexpr long long k_min = std::numeric_limits<long long>::min();

TEST(IntegerText, ReadsSignsSpacesAndUnderscores) {
  struct Case {
    std::string text;
    std::optional<long long> expected;
  };
  const std::vector<Case> cases = {
      {"12", 12},
      {" -3 ", -3},
      {"+7", 7},
      {"1_000", 1000},
      {"\t\n42\r\n", 42},
      {"007", 7},
      {"\xc2\xa0"
       "5\xe3\x80\x80",
       5},  // no-break space, ideographic space
      {"-9223372036854775808", k_min},
      {"9223372036854775807", k_max},
      {"9223372036854775808", k_max},  // saturates
      {"-99999999999999999999999", k_min},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"-", std::nullopt},
      {"1__0", std::nullopt},
      {"_1", std::nullopt},
      {"1_", std::nullopt},
      {"- 3", std::nullopt},
      {"2.5", std::nullopt},
      {"three", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_integer(c.text), c.expected) << "text: '" << c.text << "'";
    EXPECT_EQ(is_integer_text(c.text), c.expected.has_value()) << "text: '" << c.text << "'";
  }
}

TEST(IntegerText, ValueConversions) {
  EXPECT_EQ(value_to_integer(Value(5)), 5);
  EXPECT_EQ(value_to_integer(Value(18446744073709551615ULL)), k_max);
  EXPECT_EQ(value_to_integer(Value(-2.7)), -2);
  EXPECT_EQ(value_to_integer(Value(1e300)), k_max);
  EXPECT_EQ(value_to_integer(Value(-1e300)), k_min);
  EXPECT_EQ(value_to_integer(Value(true)), 1);
  EXPECT_EQ(value_to_integer(Value(" 1_0 ")), 10);
  EXPECT_EQ(value_to_integer(Value(std::numeric_limits<double>::infinity())), std::nullopt);
  EXPECT_EQ(value_to_integer(Value(std::nan(""))), std::nullopt);
  EXPECT_EQ(value_to_integer(Value()), std::nullopt);
  EXPECT_EQ(value_to_integer(Value::array({1})), std::nullopt);
}

TEST(IsJson, AnswersAsTheTable) {
  struct Case {
    Value value;
    bool expected;
  };
  const std::vector<Case> cases = {
      {Value("12"), false},
      {Value(" -3 "), false},
      {Value("1_000"), false},
      {Value(7), false},
      {Value(2.5), false},
      {Value(true), false},
      {Value(false), false},
      {Value("12.5"), true},
      {Value("true"), true},
      {Value("null"), true},
      {Value("\"abc\""), true},
      {Value("[1]"), true},
      {Value("{\"a\": 1}"), true},
      {Value(" NaN "), true},
      {Value("-Infinity"), true},
      {Value("abc"), false},
      {Value("{a: 1}"), false},
      {Value(""), false},
      {Value("[1, 2"), false},
      {Value::object(), true},
      {Value::array(), true},
      {Value(), true},
      {Value(std::numeric_limits<double>::infinity()), true},
      {Value(std::nan("")), true},
      {Value(std::string(100000, '[')), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_json(c.value), c.expected) << "value: " << json_text(c.value).substr(0, 40);
  }
}

TEST(RealText, ShortestRoundTripWithPlainAndExponentForms) {
  struct Case {
    double real;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {123.25, "123.25"},
      {-0.0, "-0.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1e16, "1e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e15, "1000000000000000.0"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {1.0 / 3, "0.3333333333333333"},
      {-2.5e100, "-2.5e+100"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const Case& c : cases) EXPECT_EQ(real_text(c.real), c.expected);
}

TEST(TextForm, ScalarsAndContainers) {
  EXPECT_EQ(text_form(Value("it's")), "it's");
  EXPECT_EQ(text_form(Value(-12)), "-12");
  EXPECT_EQ(text_form(Value(123.25)), "123.25");
  EXPECT_EQ(text_form(Value(true)), "True");
  EXPECT_EQ(text_form(Value(false)), "False");
  EXPECT_EQ(text_form(Value()), "None");
  EXPECT_EQ(text_form(Value::array()), "[]");
  EXPECT_EQ(text_form(Value::object()), "{}");

  Value map = Value::object();
  map["a"] = "it's";
  map["b"] = true;
  EXPECT_EQ(text_form(map), "{'a': \"it's\", 'b': True}");

  const Value nested = parse_json(R"({"z": [1, 2.0, null, "x"], "a": {"k": []}})");
  EXPECT_EQ(text_form(nested), "{'z': [1, 2.0, None, 'x'], 'a': {'k': []}}");
  EXPECT_EQ(literal_form(Value("x")), "'x'");
  EXPECT_EQ(literal_form(Value(1)), "1");
}

TEST(TextForm, LiteralQuotingAndEscapes) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abc", "'abc'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"it's \"x\"", "'it\\'s \"x\"'"},
      {"a\\b", "'a\\\\b'"},
      {"l1\nl2\r\t", "'l1\\nl2\\r\\t'"},
      {std::string("\x00\x1f\x7f", 3), "'\\x00\\x1f\\x7f'"},
      {"\xc2\x85\xc2\xa0\xc2\xad", "'\\x85\\xa0\\xad'"},  // U+0085, U+00A0, U+00AD
      {"\xe2\x80\xa8\xe2\x80\xa9", "'\\u2028\\u2029'"},   // line/paragraph separators
      {"\xef\xbb\xbf", "'\\ufeff'"},                      // byte order mark
      {"\xf3\xa0\x80\x81", "'\\U000e0001'"},              // language tag
      {"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", "'\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80'"},
      {"\xff", "'\\xff'"},  // a byte that is not UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(literal_form(Value(c.text)), c.expected);
}

TEST(JsonText, OneLineWithEscapes) {
  const Value value = parse_json(
      R"({"b": [1, -2, 1.0, 1e16, 1e-5, 123.25], "a": {"t": true, "f": false, "n": null}})");
  EXPECT_EQ(
      json_text(value),
      R"({"b": [1, -2, 1.0, 1e+16, 1e-05, 123.25], "a": {"t": true, "f": false, "n": null}})");
  EXPECT_EQ(json_text(Value::array()), "[]");
  EXPECT_EQ(json_text(Value::object()), "{}");

  const std::string controls = "q\"b\\n\nr\rt\tb\bf\f\x01\x1f";
  EXPECT_EQ(json_text(Value(controls)), R"("q\"b\\n\nr\rt\tb\bf\f\u0001\u001f")");
  EXPECT_EQ(json_text(Value("\x7f")), R"("\u007f")");
  EXPECT_EQ(json_text(Value("\x7f"), false), "\"\x7f\"");
}

TEST(JsonText, NonAsciiAndInvalidUtf8) {
  const std::string text = "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80";  // é 中 😀
  EXPECT_EQ(json_text(Value(text)), R"("\u00e9\u4e2d\ud83d\ude00")");
  EXPECT_EQ(json_text(Value(text), false), "\"" + text + "\"");
  // A truncated sequence is one U+FFFD; a stray byte another.
  EXPECT_EQ(json_text(Value("a\xe4\xb8"
                            "b\xff")),
            R"("a\ufffdb\ufffd")");
  EXPECT_EQ(json_text(Value("\xed\xa0\x80")), R"("\ufffd\ufffd\ufffd")");  // encoded surrogate
  EXPECT_EQ(json_text(Value("a\xff"), false), "\"a\xef\xbf\xbd\"");
  Value map = Value::object();
  map["k\xff"] = 1;
  EXPECT_EQ(json_text(map), R"({"k\ufffd": 1})");
}

TEST(JsonText, NonFiniteRealsRoundTrip) {
  const Value value = Value::array({std::nan(""), std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity()});
  const std::string text = json_text(value);
  EXPECT_EQ(text, "[NaN, Infinity, -Infinity]");
  const Value back = parse_json(text);
  ASSERT_TRUE(back.is_array());
  EXPECT_TRUE(std::isnan(back[0].get<double>()));
  EXPECT_EQ(back[1].get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(back[2].get<double>(), -std::numeric_limits<double>::infinity());
}

TEST(JsonText, DeepValuesDoNotExhaustTheStack) {
  Value deep = Value::array();
  Value* inner = &deep;
  for (int i = 0; i < 100000; ++i) {
    inner->push_back(Value::array());
    inner = &(*inner)[0];
  }
  const std::string text = json_text(deep);
  EXPECT_EQ(text.size(), 200002u);
  EXPECT_EQ(text_form(deep).size(), 200002u);
}

TEST(ParseJson, ReadsDocuments) {
  EXPECT_EQ(parse_json("  {\"a\": [1, 2.5, \"x\"], \"b\": null}\n"),
            Value({{"a", {1, 2.5, "x"}}, {"b", nullptr}}));
  EXPECT_EQ(parse_json("\"abc\""), Value("abc"));
  EXPECT_EQ(parse_json("-0"), Value(0));
  EXPECT_EQ(parse_json("9223372036854775807"), Value(k_max));
  EXPECT_EQ(parse_json("-9223372036854775808"), Value(k_min));
  EXPECT_EQ(parse_json("18446744073709551615").get<unsigned long long>(), 18446744073709551615ULL);
  const Value big = parse_json("123456789012345678901234567890");
  EXPECT_TRUE(big.is_number_float());
  EXPECT_DOUBLE_EQ(big.get<double>(), 1.2345678901234568e29);
  EXPECT_EQ(parse_json("1e400").get<double>(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_json("-1e-400").get<double>(), 0.0);
  EXPECT_EQ(parse_json(R"("\u00e9\/\ud83d\ude00")").get<std::string>(),
            "\xc3\xa9/\xf0\x9f\x98\x80");
}

TEST(ParseJson, DuplicateKeysKeepFirstPositionWithLastValue) {
  const Value value = parse_json(R"({"a": 1, "b": 2, "a": {"x": 3}})");
  EXPECT_EQ(json_text(value), R"({"a": {"x": 3}, "b": 2})");
  // Many members go through the indexed path; the rule must not change there.
  std::string text = "{";
  for (int i = 0; i < 100; ++i)
    text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  text += "\"k3\": \"last\"}";
  const Value many = parse_json(text);
  EXPECT_EQ(many.size(), 100u);
  EXPECT_EQ(many["k3"], Value("last"));
  const auto& members = many.get_ref<const Value::object_t&>();
  EXPECT_EQ(members.begin()->first, "k0");
  EXPECT_EQ((members.begin() + 3)->first, "k3");
}

TEST(ParseJson, LoneSurrogatesAndBadBytesBecomeReplacementCharacters) {
  EXPECT_EQ(parse_json(R"("\ud800x")").get<std::string>(), "\xef\xbf\xbdx");
  EXPECT_EQ(parse_json(R"("\udc00\ud800\u0041")").get<std::string>(),
            "\xef\xbf\xbd\xef\xbf\xbd"
            "A");
  EXPECT_EQ(parse_json("\"a\xff\"").get<std::string>(), "a\xef\xbf\xbd");
}

TEST(ParseJson, ErrorsNameTheOffsetAndWhatWasExpected) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "invalid JSON at line 1, column 1 (offset 0): expected a value, found end of text"},
      {"[1,]", "invalid JSON at line 1, column 4 (offset 3): expected a value, found ']'"},
      {"{\"a\" 1}",
       "invalid JSON at line 1, column 6 (offset 5): expected ':' after a member name, found '1'"},
      {"{a: 1}",
       "invalid JSON at line 1, column 2 (offset 1): expected '\"' to begin a member name, found "
       "'a'"},
      {"[1 2]", "invalid JSON at line 1, column 4 (offset 3): expected ',' or ']', found '2'"},
      {"1 2", "invalid JSON at line 1, column 3 (offset 2): expected end of text, found '2'"},
      {"\"abc",
       "invalid JSON at line 1, column 5 (offset 4): expected '\"' to end the string, found end of "
       "text"},
      {"\"a\nb\"",
       "invalid JSON at line 1, column 3 (offset 2): expected an escape instead of a control "
       "character, "
       "found '\\n'"},
      {R"("\q")",
       "invalid JSON at line 1, column 3 (offset 2): expected an escape character, found 'q'"},
      {R"("\u12")",
       "invalid JSON at line 1, column 4 (offset 3): expected four hex digits after \\u, found "
       "'1'"},
      {"01", "invalid JSON at line 1, column 2 (offset 1): expected end of text, found '1'"},
      {"1.",
       "invalid JSON at line 1, column 3 (offset 2): expected a digit after '.', found end of "
       "text"},
      {"-", "invalid JSON at line 1, column 2 (offset 1): expected a digit, found end of text"},
      {"True", "invalid JSON at line 1, column 1 (offset 0): expected a value, found 'T'"},
      {"\xef\xbb\xbf{}",
       "invalid JSON at line 1, column 1 (offset 0): expected a value, found '\\ufeff'"},
  };
  for (const Case& c : cases) {
    try {
      parse_json(c.text);
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const JsonError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << "text: " << c.text;
    }
  }
  EXPECT_EQ(try_parse_json("[1,"), std::nullopt);
  EXPECT_EQ(try_parse_json("[1]"), Value({1}));
}

TEST(ParseJson, DepthLimitFailsCleanly) {
  try {
    parse_json(std::string(100000, '['));
    ADD_FAILURE() << "no error";
  } catch (const JsonError& e) {
    EXPECT_EQ(std::string(e.what()),
              "JSON nests deeper than 512 levels at line 1, column 513 (offset 512)");
  }
  const std::string at_limit = std::string(512, '[') + std::string(512, ']');
  EXPECT_NO_THROW(parse_json(at_limit));
  EXPECT_THROW(parse_json(at_limit, 511), JsonError);
  EXPECT_THROW(parse_json(std::string(600, '{'), 1000), JsonError);  // never closed
  std::string objects;
  for (int i = 0; i < 513; ++i) objects += "{\"a\":";
  EXPECT_THROW(parse_json(objects + "1" + std::string(513, '}')), JsonError);
}

TEST(ParseJson, ErrorsCarryLineAndColumnCountedInCharacters) {
  struct Case {
    std::string text;
    std::size_t line, column, offset;
  };
  const std::vector<Case> cases = {
      {"{\n  \"a\": 1,\n  \"b\" 2\n}", 3, 7, 18},
      {"[\"\u00e4\u00f6\", x]", 1, 8, 9},         // two-byte characters count once
      {"[\"\xe6\x97\xa5\", \n\n\t?]", 3, 2, 11},  // a tab is one column
      {"\n", 2, 1, 1},
  };
  for (const Case& c : cases) {
    try {
      parse_json(c.text);
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const JsonError& e) {
      ASSERT_TRUE(e.position().has_value()) << c.text;
      EXPECT_EQ(e.position()->line, c.line) << c.text;
      EXPECT_EQ(e.position()->column, c.column) << c.text;
      EXPECT_EQ(e.position()->offset, c.offset) << c.text;
      const std::string where = "line " + std::to_string(c.line) + ", column " +
                                std::to_string(c.column) + " (offset " + std::to_string(c.offset) +
                                ")";
      EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
    }
  }
}

TEST(ParseJson, NotesRepeatedMemberNamesWithTheirPlace) {
  std::vector<DuplicateMember> found;
  const Value doc = parse_json_noting_duplicates(
      "{\"a\": 1, \"list\": [{\"x\": 1}, {\"x\": 2,\n \"x\": 3}], \"a\": 4}", found);
  EXPECT_EQ(doc, parse_json("{\"a\": 4, \"list\": [{\"x\": 1}, {\"x\": 3}]}"));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].parents, Value::array({"list", 1}));
  EXPECT_EQ(found[0].key, "x");
  EXPECT_EQ(found[0].at.line, 2u);
  EXPECT_EQ(found[0].at.column, 2u);
  EXPECT_EQ(found[1].parents, Value::array());
  EXPECT_EQ(found[1].key, "a");

  // Many members switch the member list to its hash index; repeats are still seen.
  std::string wide = "{";
  for (int i = 0; i < 40; ++i) wide += "\"k" + std::to_string(i) + "\": 0, ";
  wide += "\"k7\": 1}";
  found.clear();
  EXPECT_EQ(parse_json_noting_duplicates(wide, found)["k7"], 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].key, "k7");

  found.clear();
  parse_json_noting_duplicates("[{\"a\": {\"b\": 1, \"b\": 2}}]", found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].parents, Value::array({0, "a"}));
}

}  // namespace
}  // namespace vqflow
