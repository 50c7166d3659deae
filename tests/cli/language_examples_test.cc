// The examples of docs/playbooks.md: each is clean for `vqflow validate` and
// runs to the outcome the document gives, on the embedded store with the
// built-in apps only.
#include <gtest/gtest.h>

#include "support/cli_runner.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::TempDir;

std::string example(const std::string& name) {
  return std::string(VQFLOW_SOURCE_DIR) + "/examples/playbooks/language/" + name;
}

// The "result" of each live record of a run, in order (the closing
// run_closed line carries none).
std::vector<std::string> results_of(const test::CliOutcome& outcome) {
  std::vector<std::string> results;
  for (const Value& line : test::json_lines(outcome.out)) {
    if (line["method"] == "run_closed") continue;
    results.push_back(line["data"]["result"].get<std::string>());
  }
  return results;
}

const std::string k_begin = "剧本开始执行";
const std::string k_end = "剧本执行结束";

TEST(LanguageExamples, ValidateCleanAndRunToTheirDocumentedOutcome) {
  struct Case {
    std::string file;
    std::string extra_args;
    std::vector<std::string> results;
  };
  const std::vector<Case> cases = {
      {"basic.json", "", {k_begin, "HELLO", k_end}},
      {"routes.json", "", {k_begin, "FIRST", "second", k_end}},
      {"if_equal.json", "", {k_begin, "done", "ok", k_end}},
      {"if_not_equal.json", "", {k_begin, "3", "ok", k_end}},
      {"if_pattern.json", "", {k_begin, "ERROR: DISK FULL", "ok", k_end}},
      {"if_json.json", "", {k_begin, "{\"kind\": \"private\"}", k_end}},
      {"for_list.json", "", {k_begin, "A", "B", k_end}},
      {"for_map.json", "", {k_begin, "{\"x\": 1}", "{\"y\": 2}", k_end}},
      {"for_count.json", "", {k_begin, "round 0", "round 1", "round 2", k_end}},
      {"input.json", "", {k_begin, "a text typed in", "A TEXT TYPED IN", k_end}},
      {"webhook.json", "", {k_begin, "\"{\\\"alert\\\": \\\"disk full\\\"}\"", "disk full", k_end}},
      {"webhook.json",
       "--controller-data '{}' --app-uuid ex-hook-0-0-0 --data '{\"alert\": \"cpu hot\"}'",
       {k_begin, "\"{\\\"alert\\\": \\\"cpu hot\\\"}\"", "cpu hot", k_end}},
      {"timer.json", "", {k_begin, "[通知消息] 定时器执行中...", "ok", k_end}},
      {"references.json", "", {k_begin, "[\"a\", \"b\", \"c\"]", "B BY BOT FOR SOC", k_end}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto checked = test::run_vqflow(dir, "validate " + example(c.file));
    EXPECT_EQ(checked.exit_code, 0) << c.file << "\n" << checked.out;
    EXPECT_EQ(checked.out, "0 error(s), 0 warning(s) in 1 file(s)\n") << c.file;
    auto run = test::run_vqflow(dir, "run --json " + example(c.file) + " " + c.extra_args);
    ASSERT_EQ(run.exit_code, 0) << c.file << ": " << run.err;
    EXPECT_EQ(results_of(run), c.results) << c.file << "\n" << run.out;
  }
}

TEST(LanguageExamples, AuditWaitsAndAnApprovalContinuesAfterTheAuditNode) {
  TempDir dir;
  auto checked = test::run_vqflow(dir, "validate " + example("audit.json"));
  EXPECT_EQ(checked.out, "0 error(s), 0 warning(s) in 1 file(s)\n");
  auto first = test::run_vqflow(dir, "run --json " + example("audit.json"));
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(results_of(first), (std::vector<std::string>{k_begin, "HELLO", "剧本等待审核..."}));
  const std::string only_id =
      test::json_lines(first.out).back()["data"]["only_id"].get<std::string>();
  auto approved = test::run_vqflow(dir,
                                   "run lang-audit --json --audit-app ex-approve-0-0-0 "
                                   "--audit-status 1 --user alice --start-app ex-after-0-0-0 "
                                   "--only-id " +
                                       only_id);
  ASSERT_EQ(approved.exit_code, 0) << approved.err;
  EXPECT_EQ(results_of(approved),
            (std::vector<std::string>{"【alice】通过了该剧本执行", "5", k_end}));
}

}  // namespace
}  // namespace vqflow
