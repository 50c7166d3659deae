#include "run/interrupt_rules.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "run/playbook_import.h"

namespace vqflow {
namespace {

TEST(OnInterrupt, OnlyFailAndResumeAreAccepted) {
  EXPECT_EQ(checked_on_interrupt("fail", "--on-interrupt"), "fail");
  EXPECT_EQ(checked_on_interrupt("resume", "--on-interrupt"), "resume");
  for (const char* bad : {"", "Resume", "retry", "resume "}) {
    try {
      checked_on_interrupt(bad, "--on-interrupt");
      ADD_FAILURE() << "accepted \"" << bad << "\"";
    } catch (const ConfigError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("--on-interrupt \"") + bad + "\": expected \"fail\" or \"resume\"");
    }
  }
}

TEST(OnInterrupt, TheRequestWinsOverThePlaybookWhichDefaultsToFail) {
  struct Case {
    std::optional<std::string> requested;
    Value playbook;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, Value(), "fail"},         {std::nullopt, "", "fail"},
      {std::nullopt, "resume", "resume"},      {std::nullopt, "fail", "fail"},
      {std::string("fail"), "resume", "fail"}, {std::string("resume"), Value(), "resume"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run_on_interrupt(c.requested, c.playbook), c.expected)
        << c.requested.value_or("(none)") << " / " << json_text(c.playbook);
  }
}

TEST(OnInterrupt, ARunIsWalkedAtMostThreeTimesAndNeverAfterAnAudit) {
  struct Case {
    const char* on_interrupt;
    long long attempt;
    bool waited;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"resume", 1, false, true},  {"resume", 2, false, true},  {"resume", 3, false, false},
      {"resume", 7, false, false}, {"resume", 1, true, false},  {"fail", 1, false, false},
      {"", 1, false, false},       {"resume", 0, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walks_again(c.on_interrupt, c.attempt, c.waited), c.expected)
        << c.on_interrupt << " attempt " << c.attempt << (c.waited ? " after an audit" : "");
  }
  EXPECT_EQ(k_max_attempts, 3);
}

TEST(OnInterrupt, APlaybookFileNamesItsChoiceOrIsRefused) {
  const auto read = [](const std::string& member) {
    return load_import_text(R"({"uuid": "p1", "on_interrupt": )" + member + "}", "p.json");
  };
  ImportBatch resume = read(R"("resume")");
  ASSERT_TRUE(resume.findings.empty());
  EXPECT_EQ(resume.workflows.at(0)["on_interrupt"], "resume");
  for (const char* bad : {R"("later")", "1", "null"}) {
    ImportBatch batch = read(bad);
    ASSERT_EQ(batch.findings.size(), 1u) << bad;
    EXPECT_NE(batch.findings[0].message.find("expected \"fail\" or \"resume\""), std::string::npos)
        << batch.findings[0].message;
    EXPECT_TRUE(batch.workflows.empty());
  }
}

}  // namespace
}  // namespace vqflow
