#include "base/utilities.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unordered_set>

#include "base/config.h"
#include "base/errors.h"
#include "base/process_log.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

TEST(Utilities, DateTimeIsLocalSecondsText) {
  std::string now = Time::get_date_time(*real_clock());
  const std::string shape = "dddd-dd-dd dd:dd:dd";
  ASSERT_EQ(now.size(), shape.size()) << now;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd') {
      EXPECT_TRUE(now[i] >= '0' && now[i] <= '9') << now;
    } else {
      EXPECT_EQ(now[i], shape[i]) << now;
    }
  }
}

TEST(Utilities, DateTimeReadsTheGivenClock) {
  // 2024-05-01 10:00:17 UTC: the seconds read the same in every zone of today.
  test::ManualClock clock(std::chrono::system_clock::time_point(std::chrono::seconds(1714557617)));
  const std::string first = Time::get_date_time(clock);
  EXPECT_EQ(first.substr(first.size() - 3), ":17") << first;
  clock.advance(std::chrono::seconds(1));
  const std::string next = Time::get_date_time(clock);
  EXPECT_EQ(next.substr(0, next.size() - 3), first.substr(0, first.size() - 3)) << next;
  EXPECT_EQ(next.substr(next.size() - 3), ":18") << next;
}

bool is_base36(const std::string& text) {
  return text.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz") == std::string::npos;
}

// The base-36 number of the first `digits` characters.
unsigned long long sequence_of(const std::string& id, std::size_t digits) {
  return std::stoull(id.substr(0, digits), nullptr, 36);
}

TEST(Utilities, RandomTextsHaveTheLengthAndDoNotCollide) {
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 20000; ++i) {
    std::string text = Random::random_text(10);
    ASSERT_EQ(text.size(), 10u);
    ASSERT_TRUE(is_base36(text)) << text;
    ASSERT_TRUE(seen.insert(text).second) << "repeated " << text;
  }
  EXPECT_EQ(Random::random_text(0), "");
  EXPECT_EQ(Random::random_text(100).size(), 100u);
}

// Run identifiers count up in their first digits, so the identifiers of runs
// started one after another sort together; the last three characters stay random.
TEST(Utilities, OrderNumbersCountUpAndNeverRepeatWithinAGenerator) {
  Random random;
  std::unordered_set<std::string> seen;
  std::string previous = random.make_order_number(10);
  for (int i = 0; i < 20000; ++i) {
    std::string id = random.make_order_number(10);
    ASSERT_EQ(id.size(), 10u);
    ASSERT_TRUE(is_base36(id)) << id;
    ASSERT_TRUE(seen.insert(id).second) << "repeated " << id;
    const unsigned long long expected = (sequence_of(previous, 7) + 1) % 78364164096ULL;  // 36^7
    ASSERT_EQ(sequence_of(id, 7), expected) << previous << " then " << id;
    previous = id;
  }
  // Two generators start at unrelated points of the sequence.
  Random other;
  EXPECT_NE(sequence_of(other.make_order_number(10), 7),
            sequence_of(random.make_order_number(10), 7));
}

TEST(Utilities, OrderNumbersWrapAndKeepTheirLength) {
  struct Case {
    unsigned long long start;
    std::size_t length;
    std::string first_digits;   // of the first identifier
    std::string second_digits;  // of the next one
  };
  const Case cases[] = {
      {78364164095ULL, 10, "zzzzzzz", "0000000"},  // 36^7 - 1, then the wrap
      {0, 10, "0000000", "0000001"},
      {35, 5, "0z", "10"},
      {36 * 36 - 1, 5, "zz", "00"},
      {4738381338321616895ULL, 20, "zzzzzzzzzzzz", "000000000000"},  // 36^12 - 1: 12 digits at most
  };
  for (const Case& c : cases) {
    Random random(c.start);
    const std::string first = random.make_order_number(c.length);
    const std::string second = random.make_order_number(c.length);
    const std::size_t digits = c.first_digits.size();
    EXPECT_EQ(first.size(), c.length);
    EXPECT_EQ(second.size(), c.length);
    EXPECT_TRUE(is_base36(first) && is_base36(second)) << first << " " << second;
    EXPECT_EQ(first.substr(0, digits), c.first_digits) << first;
    EXPECT_EQ(second.substr(0, digits), c.second_digits) << second;
  }
  // Lengths of 3 or less are all random.
  Random random(0);
  EXPECT_EQ(random.make_order_number(0), "");
  EXPECT_EQ(random.make_order_number(3).size(), 3u);
}

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name, value, 1);
    }
  }
  ~ScopedEnv() {
    for (const auto& [name, old] : saved_) {
      if (old) {
        ::setenv(name.c_str(), old->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Config, EnvironmentOverridesDefaults) {
  ScopedEnv env({{"VQFLOW_DB", "postgresql://u@h:5432/db"},
                 {"VQFLOW_KV", "redis://h:6379/1"},
                 {"VQFLOW_APPS", "/opt/apps"},
                 {"VQFLOW_LOSE_TIME", "600"},
                 {"VQFLOW_MAX_INSTANCES", " 7 "}});
  Config config = config_from_environment();
  EXPECT_EQ(config.db_url, "postgresql://u@h:5432/db");
  EXPECT_EQ(config.kv_url, "redis://h:6379/1");
  EXPECT_EQ(config.apps_path, "/opt/apps");
  EXPECT_EQ(config.lose_time, 600);
  EXPECT_EQ(config.max_instances, 7);
}

TEST(Config, EmptyVariablesKeepDefaults) {
  ScopedEnv env({{"VQFLOW_DB", ""}, {"VQFLOW_LOSE_TIME", ""}});
  Config config = config_from_environment();
  EXPECT_EQ(config.db_url, Config{}.db_url);
  EXPECT_EQ(config.lose_time, Config{}.lose_time);
}

TEST(Config, BadNumbersAreConfigErrorsNamingTheVariable) {
  for (const char* bad : {"abc", "0", "-5", "1.5", "12x", "99999999999999999999999"}) {
    ScopedEnv env({{"VQFLOW_LOSE_TIME", bad}});
    try {
      config_from_environment();
      ADD_FAILURE() << "accepted " << bad;
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find("VQFLOW_LOSE_TIME"), std::string::npos) << e.what();
    }
  }
  ScopedEnv env({{"VQFLOW_MAX_INSTANCES", "0"}});
  EXPECT_THROW(config_from_environment(), ConfigError);
}

TEST(Config, PostgresDatabaseNeedsAKeyValueUrl) {
  Config config;
  EXPECT_NO_THROW(check_store_urls(config));
  config.db_url = "postgresql://postgres@127.0.0.1:5432/postgres";
  try {
    check_store_urls(config);
    FAIL() << "accepted PostgreSQL without --kv";
  } catch (const ConfigError& e) {
    EXPECT_EQ(std::string(e.what()),
              "--kv is required with a PostgreSQL database: give redis://host:port/db or "
              "memory://");
  }
  config.kv_url = "memory://";
  EXPECT_NO_THROW(check_store_urls(config));
}

TEST(ProcessLog, WritesInfoAndErrorLinesToTheFileAndCanBeSetUpAgain) {
  test::TempDir dir;
  std::string file = dir.file("vqflow.log");
  init_process_log(file);
  spdlog::info("{} {} started", "a1b2c3d4e5", "剧本");
  spdlog::error("scan run failed");
  init_process_log(file);  // again: the same file, appended to
  spdlog::info("second");
  init_process_log();
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("[info] a1b2c3d4e5 剧本 started"), std::string::npos) << text;
  EXPECT_NE(text.find("[error] scan run failed"), std::string::npos) << text;
  EXPECT_NE(text.find("[info] second"), std::string::npos) << text;
}

TEST(ProcessLog, UnwritableFileIsAConfigError) {
  test::TempDir dir;
  std::ofstream(dir.file("plain")) << "x";
  EXPECT_THROW(init_process_log(dir.file("plain") + "/vqflow.log"), ConfigError);
  init_process_log();
}

}  // namespace
}  // namespace vqflow
