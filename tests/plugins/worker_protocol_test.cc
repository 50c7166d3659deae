#include "plugins/worker_protocol.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/errors.h"

namespace vqflow {
namespace {

using Kind = AnswerLine::Kind;

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(WorkerProtocol, RequestLineIsOneJsonObjectAndANewline) {
  const Value args = parse_json(R"({"a": "b\n", "c": [1]})");
  EXPECT_EQ(request_line(42, "\"echo\"", args),
            "{\"id\":42,\"action\":\"echo\",\"args\":" + json_text(args) + "}\n");
  EXPECT_EQ(request_line(18446744073709551615u, "\"x\"", Value::object()),
            "{\"id\":18446744073709551615,\"action\":\"x\",\"args\":{}}\n");
}

TEST(WorkerProtocol, AnswerLinesAreReadOrRefused) {
  struct Case {
    std::string line;
    Kind kind;
    std::uint64_t id;
    std::optional<Value> result;    // set: a plain answer's result
    std::string envelope_or_fault;  // the envelope as JSON text, or the fault
  };
  const std::vector<Case> cases = {
      {"", Kind::blank, 0, std::nullopt, ""},
      {" \t\r", Kind::blank, 0, std::nullopt, ""},
      {R"({"id":7,"result":{"a":1}})", Kind::answer, 7, parse_json(R"({"a":1})"), ""},
      {" { \"id\" : 7 ,\t\"result\" : [1, 2] } \r", Kind::answer, 7, parse_json("[1,2]"), ""},
      // Anything but {"id","result"} takes the general way.
      {R"({"id":7,"result":1,"x":2})", Kind::answer, 7, std::nullopt,
       R"({"id":7,"result":1,"x":2})"},
      {R"({"result":1,"id":7})", Kind::answer, 7, std::nullopt, R"({"result":1,"id":7})"},
      {R"({"id":3,"error":"boom"})", Kind::answer, 3, std::nullopt, R"({"id":3,"error":"boom"})"},
      {R"({"id":1234567890123456789,"result":1})", Kind::answer, 1234567890123456789u, std::nullopt,
       R"({"id":1234567890123456789,"result":1})"},
      {R"({"id":0,"result":null})", Kind::answer, 0, Value(), ""},
      // Faults.
      {R"({"id":07,"result":1})", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote a line that is not a JSON object: "{\"id\":07,\"result\":1}")"},
      {"[1]", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote a line that is not a JSON object: "[1]")"},
      {"hello", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote a line that is not a JSON object: "hello")"},
      {R"({"result":1})", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote an answer without a valid "id": "{\"result\":1}")"},
      {R"({"id":-1,"result":1})", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote an answer without a valid "id": "{\"id\":-1,\"result\":1}")"},
      {R"({"id":"1","result":1})", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote an answer without a valid "id": "{\"id\":\"1\",\"result\":1}")"},
      {R"({"id":1.5})", Kind::fault, 0, std::nullopt,
       R"(worker stopped: it wrote an answer without a valid "id": "{\"id\":1.5}")"},
      {std::string(300, 'x'), Kind::fault, 0, std::nullopt,
       "worker stopped: it wrote a line that is not a JSON object: \"" + std::string(200, 'x') +
           "...\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    AnswerLine read = read_answer_line(c.line);
    ASSERT_EQ(read.kind, c.kind);
    if (c.kind == Kind::fault) {
      EXPECT_EQ(read.fault, c.envelope_or_fault);
      continue;
    }
    EXPECT_EQ(read.id, c.id);
    EXPECT_EQ(read.result, c.result);
    if (c.kind == Kind::answer && !c.result) {
      EXPECT_EQ(read.envelope, parse_json(c.envelope_or_fault));
    }
  }
}

TEST(WorkerProtocol, TheEnvelopeCountsTowardsTheNestingLimit) {
  const std::string deepest = nested_arrays(k_max_json_depth - 1);
  AnswerLine read = read_answer_line(R"({"id":1,"result":)" + deepest + "}");
  ASSERT_EQ(read.kind, Kind::answer);
  EXPECT_EQ(read.result, parse_json(deepest));

  read = read_answer_line(R"({"id":1,"result":)" + nested_arrays(k_max_json_depth) + "}");
  EXPECT_EQ(read.kind, Kind::fault);
}

TEST(WorkerProtocol, AnswersMeanWhatTheirMembersSay) {
  struct Case {
    std::string answer;
    std::string outcome;  // "result <json>", "argument <message>" or "call <message>"
  };
  const std::vector<Case> cases = {
      {R"({"id":1,"result":{"x":[1]}})", R"(result {"x": [1]})"},
      {R"({"result":null})", "result null"},
      {R"({"error":{"kind":"argument","message":"bad x"}})", "argument ctx: bad x"},
      {R"({"error":{"kind":"other","message":"boom"}})", "call ctx: boom"},
      {R"({"error":{"message":5}})", "call ctx: 5"},
      {R"({"error":{"kind":"argument"}})", "argument ctx: the app reported an error"},
      {R"({"error":"plain"})", "call ctx: plain"},
      {R"({"error":""})", "call ctx: the app reported an error"},
      {R"({"error":[1,2]})", "call ctx: [1, 2]"},
      {R"({"error":"first","result":1})", "call ctx: first"},
      {R"({"id":1})", R"(call ctx: the answer has neither "result" nor "error")"},
  };
  for (const auto& c : cases) {
    std::string outcome;
    try {
      outcome = "result " + json_text(interpret_worker_answer(parse_json(c.answer), "ctx"), false);
    } catch (const AppArgumentError& e) {
      outcome = std::string("argument ") + e.what();
    } catch (const AppCallError& e) {
      outcome = std::string("call ") + e.what();
    }
    EXPECT_EQ(outcome, c.outcome) << c.answer;
  }
}

TEST(WorkerProtocol, SplitterCutsLinesAcrossReadsUpToTheCap) {
  using Fed = AnswerLineSplitter::Fed;
  struct Feed {
    std::string chunk;
    std::size_t stop_after;  // lines the handler takes before it asks to stop
    Fed outcome;
    std::vector<std::string> lines;
  };
  struct Case {
    std::string name;
    std::size_t cap;
    std::vector<Feed> feeds;
  };
  const std::size_t all = 1000;
  const std::vector<Case> cases = {
      {"lines cross reads",
       8,
       {{"ab\nc", all, Fed::ok, {"ab"}},
        {"d\n\n12345678\n", all, Fed::ok, {"cd", "", "12345678"}},
        {"", all, Fed::ok, {}}}},
      {"a stop leaves the later lines for the next feed",
       8,
       {{"x\ny\nz", 1, Fed::stopped, {"x"}}, {"\n", all, Fed::ok, {"y", "z"}}}},
      {"a complete line beyond the cap", 4, {{"ok\n12345\nlater\n", all, Fed::too_long, {"ok"}}}},
      {"an unfinished line beyond the cap",
       4,
       {{"1234", all, Fed::ok, {}}, {"5", all, Fed::too_long, {}}}},
  };
  for (const auto& c : cases) {
    AnswerLineSplitter splitter(c.cap);
    for (const auto& feed : c.feeds) {
      std::vector<std::string> lines;
      const Fed outcome = splitter.feed(feed.chunk, [&](std::string_view line) {
        lines.emplace_back(line);
        return lines.size() < feed.stop_after;
      });
      EXPECT_EQ(outcome, feed.outcome) << c.name << ": " << feed.chunk;
      EXPECT_EQ(lines, feed.lines) << c.name << ": " << feed.chunk;
    }
  }
  EXPECT_EQ(AnswerLineSplitter(4).too_long_message(),
            "worker stopped: an answer line exceeds 4 bytes");
}

}  // namespace
}  // namespace vqflow
