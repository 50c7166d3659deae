#include "stores/kv_store.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "base/utilities.h"
#include "stores/memory_kv_store.h"
#include "stores/sqlite_kv_store.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::ManualClock;
using test::TempDir;

struct Backend {
  std::string name;
  // Answers null when the backend is not available here (the test then skips).
  // The memory and embedded stores see `clock`; a Redis server keeps its own time.
  std::function<std::unique_ptr<KvStore>(const TempDir&, std::shared_ptr<ManualClock>)> open;
  bool manual_clock;
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

class KvStoreContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = GetParam().open(dir_, clock_);
    if (!store_) GTEST_SKIP() << "VQFLOW_TEST_REDIS is not set";
  }

  // Keys of this test only: a live server is shared by tests running in parallel.
  std::string key(const std::string& name) const { return prefix_ + name; }

  // Moves time forward past an expiry; a live server needs a real wait.
  void pass_seconds(double seconds) {
    if (GetParam().manual_clock) {
      clock_->advance(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    } else {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    }
  }

  TempDir dir_;
  std::shared_ptr<ManualClock> clock_ = ManualClock::make();
  std::unique_ptr<KvStore> store_;
  std::string prefix_ = "t" + Random::random_text(10) + "&&";
};

TEST_P(KvStoreContract, MissingKeyIsAbsentAndSetValueReadsBack) {
  EXPECT_EQ(store_->get(key("a")), std::nullopt);
  EXPECT_FALSE(store_->exists(key("a")));
  store_->set(key("a"), "1");
  EXPECT_EQ(store_->get(key("a")), "1");
  EXPECT_TRUE(store_->exists(key("a")));
  store_->set(key("a"), "two");
  EXPECT_EQ(store_->get(key("a")), "two");
}

TEST_P(KvStoreContract, SetManyStoresEveryWriteInOrder) {
  const std::string binary("a\0\xff", 3);
  store_->set(key("old"), "x", 1);
  store_->set_many({{key("a"), "1", 100},
                    {key("b"), binary, std::nullopt},
                    {key("a"), "2", std::nullopt},  // the later write wins
                    {key("old"), "y", std::nullopt}});
  EXPECT_EQ(store_->get(key("a")), "2");
  EXPECT_EQ(store_->get(key("b")), binary);
  pass_seconds(1.2);
  EXPECT_EQ(store_->get(key("old")), "y");  // the expiry went with the earlier value
  EXPECT_THROW(store_->set_many({{key("c"), "v", 0}}), StoreError);
  store_->set_many({});
  // The connection stays usable after a batch.
  EXPECT_EQ(store_->incr(key("n")), 1);
}

TEST_P(KvStoreContract, ExpiredKeyReadsAsMissing) {
  store_->set(key("short"), "v", 1);
  store_->set(key("long"), "v", 100);
  store_->set(key("forever"), "v");
  EXPECT_EQ(store_->get(key("short")), "v");
  pass_seconds(1.2);
  EXPECT_EQ(store_->get(key("short")), std::nullopt);
  EXPECT_FALSE(store_->exists(key("short")));
  EXPECT_EQ(store_->get(key("long")), "v");
  EXPECT_EQ(store_->get(key("forever")), "v");
}

TEST_P(KvStoreContract, SetWithoutExpiryDropsAnEarlierExpiry) {
  store_->set(key("k"), "v", 1);
  store_->set(key("k"), "w");
  pass_seconds(1.2);
  EXPECT_EQ(store_->get(key("k")), "w");
}

TEST_P(KvStoreContract, IncrAndDecrCountAMissingKeyAsZero) {
  EXPECT_EQ(store_->incr(key("up")), 1);
  EXPECT_EQ(store_->incr(key("up")), 2);
  EXPECT_EQ(store_->get(key("up")), "2");
  EXPECT_EQ(store_->decr(key("down")), -1);
  EXPECT_EQ(store_->decr(key("down")), -2);
  store_->set(key("set"), "41");
  EXPECT_EQ(store_->incr(key("set")), 42);
  store_->set(key("neg"), "-5");
  EXPECT_EQ(store_->decr(key("neg")), -6);
}

TEST_P(KvStoreContract, IncrKeepsTheKeysExpiryAndRestartsAnExpiredKey) {
  store_->set(key("k"), "5", 1);
  EXPECT_EQ(store_->incr(key("k")), 6);
  pass_seconds(1.2);
  EXPECT_EQ(store_->get(key("k")), std::nullopt);
  EXPECT_EQ(store_->incr(key("k")), 1);  // the expired value does not count
}

TEST_P(KvStoreContract, IncrOfANonIntegerThrowsAndLeavesTheValue) {
  for (const std::string& bad :
       std::vector<std::string>{"abc", "1.5", " 1", "1 ", "+1", "01", "-0", "",
                                "99999999999999999999", std::string("1\0", 2)}) {
    SCOPED_TRACE("value \"" + bad + "\"");
    store_->set(key("bad"), bad);
    EXPECT_THROW(store_->incr(key("bad")), StoreError);
    EXPECT_THROW(store_->decr(key("bad")), StoreError);
    EXPECT_EQ(store_->get(key("bad")), bad);
  }
}

TEST_P(KvStoreContract, IncrPastTheIntegerRangeThrows) {
  store_->set(key("max"), std::to_string(LLONG_MAX));
  EXPECT_THROW(store_->incr(key("max")), StoreError);
  EXPECT_EQ(store_->get(key("max")), std::to_string(LLONG_MAX));
  store_->set(key("min"), std::to_string(LLONG_MIN));
  EXPECT_THROW(store_->decr(key("min")), StoreError);
  EXPECT_EQ(store_->incr(key("min")), LLONG_MIN + 1);
}

TEST_P(KvStoreContract, CountManyAppliesEveryStepInOrderEvenPastAFailedOne) {
  store_->set(key("n"), "10");
  EXPECT_EQ(store_->count_many({{key("n"), true}, {key("fresh"), false}, {key("n"), true}}),
            (std::vector<long long>{11, -1, 12}));
  EXPECT_TRUE(store_->count_many({}).empty());

  // A value that is not an integer fails its own step; the steps around it
  // are applied all the same, and the connection stays usable.
  store_->set(key("bad"), "abc");
  store_->set(key("max"), std::to_string(LLONG_MAX));
  EXPECT_THROW(
      store_->count_many(
          {{key("n"), false}, {key("bad"), true}, {key("max"), true}, {key("fresh"), false}}),
      StoreError);
  EXPECT_EQ(store_->get(key("n")), "11");
  EXPECT_EQ(store_->get(key("bad")), "abc");
  EXPECT_EQ(store_->get(key("max")), std::to_string(LLONG_MAX));
  EXPECT_EQ(store_->get(key("fresh")), "-2");
  EXPECT_EQ(store_->incr(key("n")), 12);
}

TEST_P(KvStoreContract, KeysAndValuesKeepEveryByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("nul\0key", 7), std::string("a\0b\0", 4)},
      {"剧本&&x9&&result", "剧本开始执行 ✓"},
      {"bad-utf8", "\xff\xfe\xc3"},
      {"quote'\"", "'; DROP TABLE kv; --"},
      {"empty", ""},
      {"big", std::string(1 << 20, 'x')},
  };
  for (const auto& [k, v] : cases) {
    store_->set(key(k), v);
  }
  for (const auto& [k, v] : cases) {
    auto got = store_->get(key(k));
    ASSERT_TRUE(got.has_value()) << k;
    EXPECT_EQ(got->size(), v.size()) << k;
    EXPECT_TRUE(*got == v) << k;
  }
  EXPECT_EQ(store_->get(key("nul")), std::nullopt);  // the NUL is part of the key
}

TEST_P(KvStoreContract, SetIfAbsentStoresOnlyWhenMissingOrExpired) {
  EXPECT_TRUE(store_->set_if_absent(key("k"), "first", 1));
  EXPECT_FALSE(store_->set_if_absent(key("k"), "second"));
  EXPECT_EQ(store_->get(key("k")), "first");
  pass_seconds(1.2);
  EXPECT_TRUE(store_->set_if_absent(key("k"), "third"));
  EXPECT_EQ(store_->get(key("k")), "third");
}

TEST_P(KvStoreContract, DelAnswersWhetherTheKeyExisted) {
  store_->set(key("k"), "v");
  EXPECT_TRUE(store_->del(key("k")));
  EXPECT_FALSE(store_->del(key("k")));
  EXPECT_EQ(store_->get(key("k")), std::nullopt);
}

TEST_P(KvStoreContract, NonPositiveExpiryIsRefused) {
  EXPECT_THROW(store_->set(key("k"), "v", 0), StoreError);
  EXPECT_THROW(store_->set(key("k"), "v", -5), StoreError);
  EXPECT_THROW(store_->set_if_absent(key("k"), "v", 0), StoreError);
  EXPECT_EQ(store_->get(key("k")), std::nullopt);
}

TEST_P(KvStoreContract, ConcurrentIncrAndDecrLoseNoStep) {
  constexpr int threads = 4;
  constexpr int steps = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < steps; ++i) {
        store_->incr(key("n"));
        if (t % 2 == 0) store_->decr(key("m"));
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(store_->get(key("n")), std::to_string(threads * steps));
  EXPECT_EQ(store_->get(key("m")), std::to_string(-threads / 2 * steps));
}

TEST_P(KvStoreContract, DescribeNamesTheBackend) { EXPECT_FALSE(store_->describe().empty()); }

INSTANTIATE_TEST_SUITE_P(Memory, KvStoreContract,
                         ::testing::Values(Backend{
                             "memory",
                             [](const TempDir&, std::shared_ptr<ManualClock> clock) {
                               return make_memory_kv_store(clock);
                             },
                             true}));

INSTANTIATE_TEST_SUITE_P(Embedded, KvStoreContract,
                         ::testing::Values(Backend{
                             "embedded",
                             [](const TempDir& dir, std::shared_ptr<ManualClock> clock) {
                               return open_sqlite_kv_store(dir.file("kv.db"), clock);
                             },
                             true}));

INSTANTIATE_TEST_SUITE_P(LiveRedis, KvStoreContract,
                         ::testing::Values(Backend{"redis",
                                                   [](const TempDir&, std::shared_ptr<ManualClock>)
                                                       -> std::unique_ptr<KvStore> {
                                                     auto url = test::live_redis_url();
                                                     if (!url) return nullptr;
                                                     return open_kv_store(*url, std::nullopt);
                                                   },
                                                   false}));

// --- the embedded store across connections and processes ---

TEST(EmbeddedKvStore, TwoConnectionsToOneFileCountTogether) {
  TempDir dir;
  auto a = open_kv_store("", dir.file("shared.db"));
  auto b = open_kv_store("", dir.file("shared.db"));
  constexpr int steps = 150;
  std::thread ta([&] {
    for (int i = 0; i < steps; ++i) a->incr("exec_sum");
  });
  std::thread tb([&] {
    for (int i = 0; i < steps; ++i) b->incr("exec_sum");
  });
  ta.join();
  tb.join();
  EXPECT_EQ(a->get("exec_sum"), std::to_string(2 * steps));
}

TEST(EmbeddedKvStore, ForkedProcessesCountTogether) {
  TempDir dir;
  std::string path = dir.file("procs.db");
  open_kv_store("", path)->set("n", "0");
  constexpr int children = 3;
  constexpr int steps = 100;
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int code = 0;
      try {
        auto store = open_kv_store("", path);
        for (int i = 0; i < steps; ++i) store->incr("n");
      } catch (...) {
        code = 1;
      }
      ::_exit(code);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(open_kv_store("", path)->get("n"), std::to_string(children * steps));
}

TEST(EmbeddedKvStore, StateOutlivesTheStoreObject) {
  TempDir dir;
  auto clock = ManualClock::make();
  open_sqlite_kv_store(dir.file("k.db"), clock)->set("run&&x&&text", "wait", 3600);
  auto again = open_sqlite_kv_store(dir.file("k.db"), clock);
  EXPECT_EQ(again->get("run&&x&&text"), "wait");
  clock->advance(std::chrono::seconds(3601));
  EXPECT_EQ(again->get("run&&x&&text"), std::nullopt);
}

long long rows_in_kv(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM kv", -1, &stmt, nullptr);
  long long rows = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

TEST(EmbeddedKvStore, ExpiredKeysAreSweptFromTheFile) {
  TempDir dir;
  auto clock = ManualClock::make();
  std::string path = dir.file("sweep.db");
  auto store = open_sqlite_kv_store(path, clock);
  for (int i = 0; i < 50; ++i) store->set("old" + std::to_string(i), "v", 10);
  store->set("kept", "v");
  clock->advance(std::chrono::seconds(11));
  // Dead keys leave the file within a bounded number of writes...
  for (int i = 0; i < 1000; ++i) store->set("busy", std::to_string(i), 60);
  EXPECT_EQ(rows_in_kv(path), 2);
  // ...and when the file is opened.
  for (int i = 0; i < 50; ++i) store->set("old" + std::to_string(i), "v", 10);
  clock->advance(std::chrono::seconds(61));
  open_sqlite_kv_store(path, clock);
  EXPECT_EQ(rows_in_kv(path), 1);
  EXPECT_EQ(store->get("kept"), "v");
}

TEST(EmbeddedKvStore, CorruptFileIsAStoreErrorThatSaysWhatToDo) {
  TempDir dir;
  std::string path = dir.file("corrupt.db");
  std::ofstream(path) << std::string(8192, 'z');
  try {
    open_kv_store("", path);
    FAIL() << "opened a corrupt file";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

// --- opening by URL ---

TEST(OpenKvStore, MalformedUrlsAreConfigErrors) {
  for (std::string url :
       {"foo://x", "redis://", "redis://:6379", "redis://host:port", "redis://host:70000",
        "redis://host:0", "redis://host:6379/x", "redis://host:6379/-1", "redis://host:6379/0/1",
        "redis://[::1", "memory://x"}) {
    SCOPED_TRACE(url);
    EXPECT_THROW(open_kv_store(url, std::nullopt), ConfigError);
  }
}

TEST(OpenKvStore, EmbeddedStoreNeedsASqliteFile) {
  EXPECT_THROW(open_kv_store("", std::nullopt), ConfigError);
}

TEST(OpenKvStore, UnreachableRedisIsAStoreError) {
  // Port 1 on loopback: nothing listens, the connection is refused at once.
  try {
    open_kv_store("redis://127.0.0.1:1/0", std::nullopt);
    FAIL() << "connected to nothing";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:1"), std::string::npos) << e.what();
  }
}

TEST(LiveRedisKvStore, WrongPasswordIsAStoreError) {
  auto url = test::live_redis_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_REDIS is not set";
  std::string with_password = "redis://:wrong@" + url->substr(std::string("redis://").size());
  EXPECT_THROW(open_kv_store(with_password, std::nullopt), StoreError);
}

TEST(LiveRedisKvStore, LostConnectionIsReportedOnceThenReopened) {
  auto url = test::live_redis_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_REDIS is not set";
  // The live URL is redis://127.0.0.1:PORT/0; database 7 makes our connection easy to find.
  std::string base = url->substr(0, url->rfind('/'));
  auto store = open_kv_store(base + "/7", std::nullopt);
  std::string key = "lost&&" + Random::random_text(10);
  store->set(key, "v", 60);

  int port = std::stoi(base.substr(base.rfind(':') + 1));
  redisContext* admin = redisConnect("127.0.0.1", port);
  ASSERT_TRUE(admin != nullptr && admin->err == 0);
  auto* list = static_cast<redisReply*>(redisCommand(admin, "CLIENT LIST"));
  ASSERT_TRUE(list != nullptr && list->type == REDIS_REPLY_STRING);
  std::string clients(list->str, list->len);
  freeReplyObject(list);
  int killed = 0;
  std::istringstream lines(clients);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" db=7 ") == std::string::npos) continue;
    std::string id = line.substr(3, line.find(' ') - 3);  // "id=N addr=..."
    auto* reply = static_cast<redisReply*>(redisCommand(admin, "CLIENT KILL ID %s", id.c_str()));
    if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) killed += reply->integer;
    freeReplyObject(reply);
  }
  redisFree(admin);
  ASSERT_GE(killed, 1);

  EXPECT_THROW(store->get(key), StoreError);
  EXPECT_EQ(store->get(key), "v");
  store->del(key);
}

}  // namespace
}  // namespace vqflow
