#include "apps/reference_expansion.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "base/errors.h"
#include "base/regex.h"

namespace vqflow {
namespace {

// Stored values keyed "node-id|field", and how often each was read.
struct FakeStore {
  std::map<std::string, std::string> values;
  std::map<std::string, int> reads;

  AppValueReader reader() {
    return [this](const std::string& node, const std::string& field) -> std::optional<std::string> {
      const std::string key = node + "|" + field;
      ++reads[key];
      auto it = values.find(key);
      if (it == values.end()) return std::nullopt;
      return it->second;
    };
  }
};

const std::string k_node = "a-b-c-d-e";

struct Case {
  std::string name;
  std::string stored_result;  // under a-b-c-d-e|result; empty: nothing stored
  std::string text;
  int status;
  std::string expected;
};

TEST(ReferenceExpansion, AppReferencesWalkPathsAsDocumented) {
  const std::vector<Case> cases = {
      {"whole value", R"({"x": [1, 2]})", "@(a-b-c-d-e.result)", 0, R"({"x": [1, 2]})"},
      {"list index", R"({"x": [1, 2]})", "v=@(a-b-c-d-e.result!>x!>1)", 0, "v=2"},
      {"negative index", R"({"x": [1, 2]})", "@(a-b-c-d-e.result!>x!>-1)", 0, "2"},
      {"index out of range", R"({"x": [1, 2]})", "@(a-b-c-d-e.result!>x!>5)", 1,
       "未找到 JSON Index : x,5"},
      {"missing member", R"({"x": [1, 2]})", "@(a-b-c-d-e.result!>y)", 1, "未找到 JSON KEY : y"},
      {"key step into list", R"({"x": [1, 2]})", "@(a-b-c-d-e.result!>x!>k)", 1, "未找到 APP 变量"},
      {"map value in text form", R"({"x": {"k": "v"}})", "@(a-b-c-d-e.result!>x)", 0, "{'k': 'v'}"},
      {"forced key", R"({"5": "five"})", "@(a-b-c-d-e.result!>5!!!)", 0, "five"},
      {"integer step on map", R"({"5": "five"})", "@(a-b-c-d-e.result!>5)", 1,
       "未找到 JSON KEY : 5"},
      {"piece after second dot ignored", R"({"x": [1, 2]})", "<@(a-b-c-d-e.result!>x.y)>", 0,
       "<[1, 2]>"},
      {"integer result without path", "12", "@(a-b-c-d-e.result)", 0, "12"},
      {"integer result with path", "12", "@(a-b-c-d-e.result!>0)", 1, "非 JSON 格式变量"},
      {"plain text with path", "hello", "@(a-b-c-d-e.result!>0)", 1, "非 JSON 格式变量"},
      {"JSON text stored encoded once more", R"("{\"a\": [7, 8]}")", "@(a-b-c-d-e.result!>a!>0)", 0,
       "7"},
      {"character of a text", R"("中文abc")", "@(a-b-c-d-e.result!>1)", 0, "文"},
      {"last character of a text", R"("中文abc")", "@(a-b-c-d-e.result!>-1)", 0, "c"},
      {"character out of range", R"("中文abc")", "@(a-b-c-d-e.result!>9)", 1,
       "未找到 JSON Index : 9"},
      {"key step into text", R"("中文abc")", "@(a-b-c-d-e.result!>k)", 1, "未找到 APP 变量"},
      {"step into number", R"({"n": 5})", "@(a-b-c-d-e.result!>n!>0)", 1, "未找到 APP 变量"},
      {"step into null", R"({"n": null})", "@(a-b-c-d-e.result!>n!>k)", 1, "未找到 APP 变量"},
      {"path text names every step", R"({"data": [{"y": 1}]})",
       "@(a-b-c-d-e.result!>data!>0!>x!!!)", 1, "未找到 JSON KEY : data,0,x"},
      {"integer steps shown as written", R"({"x": [1]})", "@(a-b-c-d-e.result!>x!>1_0)", 1,
       "未找到 JSON Index : x,1_0"},
      {"huge index", R"({"x": [1]})", "@(a-b-c-d-e.result!>x!>99999999999999999999999)", 1,
       "未找到 JSON Index : x,99999999999999999999999"},
      {"real value", R"({"r": 2.5, "b": true, "z": null})",
       "@(a-b-c-d-e.result!>r) @(a-b-c-d-e.result!>b) @(a-b-c-d-e.result!>z)", 0, "2.5 True None"},
      {"node that has not run", "", "@(a-b-c-d-e.result)", 1, "未找到 APP 变量"},
      {"no field part", R"({"x": 1})", "@(a-b-c-d-e:result)", 1, "未找到 APP 变量"},
      {"unknown field", R"({"x": 1})", "@(a-b-c-d-e.nothing)", 1, "未找到 APP 变量"},
      {"not a reference across a line feed", R"({"x": 1})", "@(a-b-c-d-e.res\nult)", 0,
       "@(a-b-c-d-e.res\nult)"},
  };
  for (const Case& c : cases) {
    FakeStore store;
    if (!c.stored_result.empty()) store.values[k_node + "|result"] = c.stored_result;
    Expansion e = expand_references(c.text, Value(), Value(), store.reader());
    EXPECT_EQ(e.status, c.status) << c.name;
    EXPECT_EQ(e.text, c.expected) << c.name;
  }
}

TEST(ReferenceExpansion, RepeatedReferenceIsReplacedEverywhereAndReadOnce) {
  FakeStore store;
  store.values[k_node + "|result"] = R"({"x": [1, 2]})";
  const std::string ref = "@(a-b-c-d-e.result!>x!>0)";
  Expansion e = expand_references(ref + "+" + ref + "+" + ref + " @(a-b-c-d-e.result!>x!>1)",
                                  Value(), Value(), store.reader());
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.text, "1+1+1 2");
  EXPECT_EQ(store.reads[k_node + "|result"], 1);
}

struct TableCase {
  std::string name;
  Value local;
  Value global;
  std::string text;
  int status;
  std::string expected;
};

TEST(ReferenceExpansion, VariableTablesAndCheckOrder) {
  const Value local = {{"x", "L"}, {"y", "@[x]"}};
  const Value global = {{"a", "@{b}"}, {"b", "B"}, {"", "E"}, {"变量", "V"}, {"g", "@[x]"}};
  const std::vector<TableCase> cases = {
      {"no references", local, global, "plain text", 0, "plain text"},
      {"at signs and braces only", local, global, "@ @@ {x} @{ } @[a b] @( ) @{", 0,
       "@ @@ {x} @{ } @[a b] @( ) @{"},
      {"local and global", local, global, "@[x]/@{b}/@[x]", 0, "L/B/L"},
      {"empty global name", local, global, "<@{}>", 0, "<E>"},
      {"empty global name not defined", local, Value{{"b", "B"}}, "@{}", 1, "未找到全局变量"},
      {"unicode word characters", local, global, "@{变量}", 0, "V"},
      {"undefined local", local, global, "@[nope]", 1, "未找到局部变量"},
      {"undefined global", local, global, "@{nope}", 1, "未找到全局变量"},
      {"definitions built no table", Value("[]"), global, "@[x]", 1, "未找到局部变量"},
      {"global absence before local lookup", local, Value(), "@[nope] @{b}", 1, "请添加全局变量"},
      {"local absence first", Value(), Value(), "@{b} @[nope]", 1, "请添加局部变量"},
      {"locals looked up before apps", local, global, "@(f-f-f-f-f.result) @[nope]", 1,
       "未找到局部变量"},
      // Distinct references in order of first appearance; a value brings in a
      // reference of the same kind that a later replacement still reaches.
      {"first appearance order a then b", local, global, "@{a} @{b}", 0, "B B"},
      {"first appearance order b then a", local, global, "@{b} @{a}", 0, "B @{b}"},
      {"replacement of another kind is not expanded", local, global, "@{g}", 0, "@[x]"},
      {"locals before globals", local, global, "@[y] @{g}", 0, "@[x] @[x]"},
      {"invalid UTF-8 around references", local, global, "\xff@{b}\xfe@[x]\xc3", 0,
       "\xff"
       "B\xfeL\xc3"},
  };
  for (const TableCase& c : cases) {
    FakeStore store;
    Expansion e = expand_references(c.text, c.local, c.global, store.reader());
    EXPECT_EQ(e.status, c.status) << c.name;
    EXPECT_EQ(e.text, c.expected) << c.name;
  }
}

// Stored bytes are data: bytes that are not UTF-8 text count as a missing key,
// a text that is not JSON cannot be walked into. A store that cannot answer is
// no data at all: its failure leaves the expansion.
TEST(ReferenceExpansion, UndecodableOrNonJsonValuesAreDataFaults) {
  struct DataCase {
    std::string stored;
    std::string text;
    std::string message;
  };
  const std::vector<DataCase> cases = {
      {"bad \xff bytes", "@(a-b-c-d-e.result)", "未找到 APP 变量"},
      {"bad \xff bytes", "@(a-b-c-d-e.result!>0)", "未找到 APP 变量"},
      {"\xc3", "@(a-b-c-d-e.result)", "未找到 APP 变量"},
      {"{not json", "@(a-b-c-d-e.result!>0)", "非 JSON 格式变量"},
      {"NaN-ish", "@(a-b-c-d-e.result!>0)", "非 JSON 格式变量"},
      {"  ", "@(a-b-c-d-e.result!>0)", "非 JSON 格式变量"},
      {std::string(600, '[') + std::string(600, ']'), "@(a-b-c-d-e.result!>0)",
       "非 JSON 格式变量"},  // nested too deep
  };
  for (const DataCase& c : cases) {
    FakeStore store;
    store.values[k_node + "|result"] = c.stored;
    Expansion e = expand_references(c.text, Value(), Value(), store.reader());
    EXPECT_EQ(e.status, 1) << c.text;
    EXPECT_EQ(e.text, c.message) << c.text;
  }
  // A key read once answers every reference to it the same way.
  FakeStore store;
  store.values[k_node + "|result"] = "bad \xff bytes";
  Expansion e = expand_references("@(a-b-c-d-e.result!>0) @(a-b-c-d-e.result)", Value(), Value(),
                                  store.reader());
  EXPECT_EQ(e.text, "未找到 APP 变量");
  EXPECT_EQ(store.reads[k_node + "|result"], 1);
}

TEST(ReferenceExpansion, StoreFailuresPropagate) {
  AppValueReader failing = [](const std::string&,
                              const std::string&) -> std::optional<std::string> {
    throw StoreError("kv GET x: connection refused");
  };
  EXPECT_THROW(expand_references("@(a-b-c-d-e.result)", Value(), Value(), failing), StoreError);
  // Only app references read the store.
  EXPECT_EQ(expand_references("@{g} plain", Value(), Value{{"g", "G"}}, failing).text, "G plain");
}

TEST(StoredJsonDocument, TextsThatPassTheJsonTestOnceOrTwice) {
  EXPECT_EQ(stored_json_document(R"({"a": [1]})"), parse_json(R"({"a": [1]})"));
  EXPECT_EQ(stored_json_document(R"("{\"a\": 1}")"), parse_json(R"({"a": 1})"));
  EXPECT_EQ(stored_json_document(R"("plain")"), Value("plain"));  // a JSON string, not JSON inside
  EXPECT_EQ(stored_json_document("12.5"), Value(12.5));
  EXPECT_EQ(stored_json_document("12"), std::nullopt);  // integers fail the JSON test
  EXPECT_EQ(stored_json_document("abc"), std::nullopt);
  EXPECT_EQ(stored_json_document(""), std::nullopt);
}

TEST(ReferenceExpansion, GrowthBeyondTheLimitThrowsInsteadOfExhaustingMemory) {
  const Value global = {{"big", std::string(1 << 20, 'x')}};
  std::string text;
  for (int i = 0; i < 100; ++i) text += "@{big}";
  EXPECT_THROW(expand_references(text, Value::object(), global, FakeStore().reader()), ValueError);
}

TEST(ReferenceExpansion, LongLinesOfUnterminatedAppReferencesStayLinear) {
  // Each "@(" would scan to the end of the line for a ")" that never comes.
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "@(a-b-c-d-e.x ";
  FakeStore store;
  Expansion e = expand_references(text, Value(), Value(), store.reader());
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.text.size(), text.size());
  EXPECT_TRUE(store.reads.empty());

  // One reference may span a long line.
  const std::string spanning = "@(a-b-c-d-e.x" + std::string(2 << 20, ' ') + ")";
  EXPECT_EQ(find_app_references(spanning).size(), 1u);
  EXPECT_EQ(expand_references(spanning, Value(), Value(), store.reader()).text, "未找到 APP 变量");
}

// The hand-written finders must give exactly the patterns' matches, also on
// texts built from the characters that steer them, and on non-ASCII text.
TEST(ReferenceExpansion, FindersAgreeWithTheirPatterns) {
  const Regex global(global_reference_pattern()), local(local_reference_pattern()),
      app(app_reference_pattern(), RegexLimits{50'000'000, 10'000, 64 * 1024});
  const std::vector<std::string> fixed = {"@(a-b-c-d-ef)",
                                          "@(a-b-c-d-e)x)",
                                          "@(a-b-c-d-e.x)",
                                          "@(a-b-c-d-e..)x)",
                                          "@(a-b-c-d-)",
                                          "@(a-b-c-d-e))",
                                          "@(-----x)",
                                          "@(a-b-c-d-e.x\n)",
                                          "@{a}@{b_1}@{}@{a-b}",
                                          "@[x]@[]@[@[y]]",
                                          "@(a-b-c-d-é.x) @{é} @[ü]",
                                          "x@@(a-b-c-d-e.r!>0) @(@(a-b-c-d-e.r)"};
  // Pieces rather than characters, so that whole references come up often.
  const std::vector<std::string> pieces = {
      "@(a-b-c-d-", "@(a-b-c-d-", "@(", "a-b-c-d-", "a-", "-", "e", "ab", ".",   "x", ")",
      "\n",         "@{",         "}",  "@[",       "]",  "@", "(", " ",  "!>0", "_1"};
  std::mt19937 random(7);
  std::vector<std::string> texts = fixed;
  std::size_t app_matches = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = static_cast<int>(random() % 12); n > 0; --n)
      text += pieces[random() % pieces.size()];
    texts.push_back(std::move(text));
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(find_global_references(text), global.find_all(text)) << text;
    ASSERT_EQ(find_local_references(text), local.find_all(text)) << text;
    ASSERT_EQ(find_app_references(text), app.find_all(text)) << text;
    app_matches += find_app_references(text).size();
  }
  EXPECT_GT(app_matches, 200u);
}

}  // namespace
}  // namespace vqflow
