// `vqflow validate`, the checks of `vqflow import`, and the commands that
// describe the command line itself (completion, man, unknown commands).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "stores/database.h"
#include "support/cli_runner.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::TempDir;

const std::string k_example =
    std::string(VQFLOW_SOURCE_DIR) + "/examples/playbooks/language/basic.json";

// The basic example with `change` applied, written to `name` in `dir`.
std::string changed_example(const TempDir& dir, const std::string& name,
                            const std::function<void(Value&)>& change) {
  std::ifstream in(k_example);
  Value playbook = parse_json(std::string(std::istreambuf_iterator<char>(in), {}));
  change(playbook);
  const std::string path = dir.file(name);
  std::ofstream(path) << json_text(playbook, false);
  return path;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(CliValidate, ErrorsComeFirstAndSetTheExitCode) {
  TempDir dir;
  const std::string both = changed_example(dir, "both.json", [](Value& p) {
    p["flow_data"] = Value::array();  // error
    p["flow_json"]["cells"].push_back(
        {{"shape", "html"}, {"id", "lonely"}, {"data", {{"name", "x"}}}});
  });
  auto result = test::run_vqflow(dir, "validate " + both);
  EXPECT_EQ(result.exit_code, 1);
  const std::size_t error_at = result.out.find("member flow_data: must be an object");
  const std::size_t warning_at = result.out.find("node lonely: member flow_json: no route");
  ASSERT_NE(error_at, std::string::npos) << result.out;
  ASSERT_NE(warning_at, std::string::npos) << result.out;
  EXPECT_LT(error_at, warning_at);
  EXPECT_EQ(result.out.rfind(both + ": playbook lang-basic: ", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("1 error(s), 1 warning(s) in 1 file(s)\n"), std::string::npos);

  auto json = test::run_vqflow(dir, "validate --json " + both);
  EXPECT_EQ(json.exit_code, 1);
  const Value findings = parse_json(json.out);
  ASSERT_EQ(findings.size(), 2u) << json.out;
  EXPECT_EQ(findings[0]["severity"], "error");
  EXPECT_EQ(findings[0]["file"], both);
  EXPECT_EQ(findings[0]["playbook"], "lang-basic");
  EXPECT_EQ(findings[0]["member"], "flow_data");
  EXPECT_EQ(findings[1]["severity"], "warning");
  EXPECT_EQ(findings[1]["node"], "lonely");

  const std::string warned = changed_example(dir, "warned.json", [](Value& p) {
    p["flow_json"]["cells"].push_back(
        {{"shape", "html"}, {"id", "lonely"}, {"data", {{"name", "x"}}}});
  });
  EXPECT_EQ(test::run_vqflow(dir, "validate " + warned).exit_code, 0);
  EXPECT_EQ(test::run_vqflow(dir, "validate --strict " + warned).exit_code, 1);
}

TEST(CliValidate, JsonFaultsNameLineAndColumn) {
  TempDir dir;
  std::ofstream(dir.file("broken.json")) << "{\n  \"uuid\": \"x\",\n  \"name\" \"y\"\n}";
  auto result = test::run_vqflow(dir, "validate " + dir.file("broken.json"));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out.rfind(dir.file("broken.json") + ":3:10: not valid JSON: ", 0), 0u)
      << result.out;
}

TEST(CliValidate, GlobalNamesComeFromTheFilesAndWithDbFromTheStore) {
  TempDir dir;
  const std::string uses = changed_example(dir, "uses.json", [](Value& p) {
    p["flow_data"]["ex-shout-0-0-0"]["data"]["text"] = "@{team}";
  });
  std::ofstream(dir.file("vars.json")) << R"({"variables": [{"key": "team", "value": "soc"}]})";
  EXPECT_NE(test::run_vqflow(dir, "validate " + uses).out.find("@{team} names no global"),
            std::string::npos);
  EXPECT_EQ(test::run_vqflow(dir, "validate " + uses + " " + dir.file("vars.json")).out,
            "0 error(s), 0 warning(s) in 2 file(s)\n");
  ASSERT_EQ(test::run_vqflow(dir, "import " + dir.file("vars.json")).exit_code, 0);
  EXPECT_EQ(test::run_vqflow(dir, "--db " + dir.file("vqflow.db") + " validate " + uses).out,
            "0 error(s), 0 warning(s) in 1 file(s)\n");
}

TEST(CliImport, StoresNothingWhenAFileHasErrorsAndPrintsWarnings) {
  TempDir dir;
  const std::string bad = changed_example(dir, "bad.json", [](Value& p) {
    p["uuid"] = "two words";
    p["start_app"] = "nowhere";
  });
  auto refused = test::run_vqflow(dir, "import " + k_example + " " + bad);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(count_of(refused.err, bad + ": playbook \"two words\": "), 2u) << refused.err;
  EXPECT_NE(refused.err.find("nothing imported: 2 error(s)"), std::string::npos);
  auto db = open_database(dir.file("vqflow.db"));
  EXPECT_TRUE(db->table("workflow").get().empty());

  const std::string warned = changed_example(dir, "warned.json", [](Value& p) {
    p["flow_json"]["cells"].push_back(
        {{"shape", "html"}, {"id", "lonely"}, {"data", {{"name", "x"}}}});
  });
  auto stored = test::run_vqflow(dir, "import " + warned);
  EXPECT_EQ(stored.exit_code, 0) << stored.err;
  EXPECT_NE(stored.err.find("node lonely: member flow_json: no route"), std::string::npos);
  EXPECT_NE(stored.out.find("1 playbook(s), 0 variable(s) imported"), std::string::npos);
  EXPECT_EQ(db->table("workflow").get().size(), 1u);
}

TEST(CliDescribe, UnknownCommandsAreNamedInOneLine) {
  TempDir dir;
  auto top = test::run_vqflow(dir, "frobnicate");
  EXPECT_EQ(top.exit_code, 2);
  EXPECT_EQ(top.err, "unknown command frobnicate; run vqflow --help\n");
  auto nested = test::run_vqflow(dir, "--db x.db db frobnicate");
  EXPECT_EQ(nested.err, "unknown command frobnicate; run vqflow db --help\n");
}

TEST(CliDescribe, CompletionScriptsAndTheManPageCoverEveryCommand) {
  TempDir dir;
  auto bash = test::run_vqflow(dir, "completion bash");
  ASSERT_EQ(bash.exit_code, 0);
  std::ofstream(dir.file("vqflow.bash")) << bash.out;
  EXPECT_EQ(std::system(("bash -n " + dir.file("vqflow.bash")).c_str()), 0) << bash.out;
  // Sourced, the function completes a subcommand and an option of it.
  const std::string probe =
      "source " + dir.file("vqflow.bash") +
      "; COMP_WORDS=(vqflow val); COMP_CWORD=1; _vqflow; echo ${COMPREPLY[@]};"
      " COMP_WORDS=(vqflow validate --st); COMP_CWORD=2; _vqflow;"
      " echo ${COMPREPLY[@]}";
  std::ofstream(dir.file("probe.sh")) << probe;
  FILE* pipe = popen(("bash " + dir.file("probe.sh")).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[512] = {};
  std::string replies;
  while (fgets(buffer, sizeof buffer, pipe)) replies += buffer;
  pclose(pipe);
  EXPECT_EQ(replies, "validate\n--strict\n");

  auto zsh = test::run_vqflow(dir, "completion zsh");
  ASSERT_EQ(zsh.exit_code, 0);
  EXPECT_EQ(zsh.out.rfind("#compdef vqflow\n", 0), 0u);
  auto man = test::run_vqflow(dir, "man");
  ASSERT_EQ(man.exit_code, 0);
  EXPECT_EQ(man.out.rfind(".TH VQFLOW 1", 0), 0u);
  const std::vector<std::pair<std::string, std::string>> commands = {
      {"db init", "/db/init"},
      {"import", "/import"},
      {"run", "/run"},
      {"serve", "/serve"},
      {"timers next", "/timers/next"},
      {"validate", "/validate"},
      {"completion", "/completion"},
      {"man", "/man"}};
  for (const auto& [command, path] : commands) {
    EXPECT_NE(bash.out.find("\"" + path + "\")"), std::string::npos) << command;
    EXPECT_NE(zsh.out.find("\"" + path + "\")"), std::string::npos) << command;
    EXPECT_NE(man.out.find(".SS \"vqflow " + command + "\""), std::string::npos) << command;
  }
  EXPECT_NE(test::run_vqflow(dir, "completion fish").exit_code, 0);
}

}  // namespace
}  // namespace vqflow
