#include "stores/database.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "base/errors.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::TempDir;

struct Backend {
  std::string name;
  // Answers null when the backend is not available here (the test then skips).
  std::function<std::unique_ptr<Database>(const TempDir&)> open;
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

class DatabaseContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = GetParam().open(dir_);
    if (!db_) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
    db_->init_schema();
  }

  long long add_log(const std::string& only_id, const std::string& app_name, int status) {
    return db_->table("logs").insert(Row{{"only_id", only_id},
                                         {"uuid", "wf-1"},
                                         {"app_uuid", "node-1"},
                                         {"app_name", app_name},
                                         {"result", "ok"},
                                         {"status", status},
                                         {"html", "<span>ok</span>"},
                                         {"args", "{}"},
                                         {"create_time", "2024-01-02 03:04:05"}});
  }

  TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_P(DatabaseContract, InsertRowsStoresAllInOrderOrNone) {
  auto log = [](const std::string& only_id, Value status) {
    return TableRow{"logs",
                    Row{{"only_id", only_id}, {"uuid", "wf"}, {"status", std::move(status)}}};
  };
  // Tables interleave and column sets differ: every row lands, in order.
  db_->insert_rows({log("a", 0),
                    log("b", 1),
                    {"report", Row{{"report_no", "a"}}},
                    log("c", 0),
                    {"logs", Row{{"only_id", "d"}}}});
  std::vector<std::string> order;
  for (const Row& row : db_->table("logs").get()) order.push_back(row["only_id"]);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(db_->table("report").get().size(), 1u);

  // One row the store refuses (text in an integer column) and nothing of the call is kept.
  EXPECT_THROW(db_->insert_rows(
                   {log("e", 0), {"report", Row{{"report_no", "e"}}}, log("f", "not a number")}),
               StoreError);
  EXPECT_EQ(db_->table("logs").get().size(), 4u);
  EXPECT_EQ(db_->table("report").get().size(), 1u);
  EXPECT_NO_THROW(db_->insert_rows({}));
}

TEST_P(DatabaseContract, InsertRowsMapEveryShapeToItsOwnColumnsOnEveryCall) {
  auto pair = [](const char* first, const char* second, const std::string& id) {
    Row row = Row::object();
    row[first] = first == std::string("only_id") ? id : "wf-" + id;
    row[second] = second == std::string("only_id") ? id : "wf-" + id;
    return TableRow{"logs", row};
  };
  // The same columns in two orders, twice over: a shape seen before must not
  // lend its text to the other order.
  for (const std::string round : {"1", "2"}) {
    db_->insert_rows({pair("only_id", "uuid", "a" + round), pair("uuid", "only_id", "b" + round)});
  }
  std::vector<std::string> seen;
  for (const Row& row : db_->table("logs").get()) {
    seen.push_back(row["only_id"].get<std::string>() + " " + row["uuid"].get<std::string>());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a1 wf-a1", "b1 wf-b1", "a2 wf-a2", "b2 wf-b2"}));

  // A known shape with a list value, or an unknown column, is refused whole.
  TableRow listed = pair("only_id", "uuid", "c");
  listed.row["uuid"] = Row::array({1, 2});
  try {
    db_->insert_rows({pair("only_id", "uuid", "d"), listed});
    ADD_FAILURE() << "a list in a column was stored";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("a list or map cannot be stored"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(db_->insert_rows({pair("only_id", "uuid", "e"), {"logs", Row{{"bogus", "x"}}}}),
               StoreError);
  EXPECT_EQ(db_->table("logs").get().size(), 4u);
}

TEST_P(DatabaseContract, ReplaceRowsReplacesByKeyAllOrNothing) {
  db_->table("workflow").insert(Row{{"uuid", "w1"}, {"name", "old"}});
  db_->table("variablen").insert(Row{{"key", "k"}, {"value", "old"}});
  db_->replace_rows({{"workflow", "uuid", Row{{"uuid", "w1"}, {"name", "new"}}},
                     {"workflow", "uuid", Row{{"uuid", "w2"}, {"name", "added"}}},
                     {"variablen", "key", Row{{"key", "k"}, {"value", "new"}}}});
  auto names = [this] {
    std::map<std::string, std::string> out;
    for (const Row& row : db_->table("workflow").get()) out[row["uuid"]] = row["name"];
    return out;
  };
  EXPECT_EQ(names(), (std::map<std::string, std::string>{{"w1", "new"}, {"w2", "added"}}));
  auto variables = db_->table("variablen").get();
  ASSERT_EQ(variables.size(), 1u);
  EXPECT_EQ(variables[0]["value"], "new");

  // One row the store refuses (text in an integer column): the whole call is undone.
  EXPECT_THROW(
      db_->replace_rows({{"workflow", "uuid", Row{{"uuid", "w1"}, {"name", "lost"}}},
                         {"workflow", "uuid", Row{{"uuid", "w3"}, {"status", "not a number"}}}}),
      StoreError);
  EXPECT_EQ(names(), (std::map<std::string, std::string>{{"w1", "new"}, {"w2", "added"}}));
  EXPECT_NO_THROW(db_->replace_rows({}));
}

TEST_P(DatabaseContract, InitSchemaTwiceKeepsRows) {
  add_log("run1", "a", 0);
  db_->init_schema();
  EXPECT_EQ(db_->table("logs").get().size(), 1u);
  for (const char* table : {"workflow", "variablen", "logs", "report", "audit", "timer"}) {
    EXPECT_NO_THROW(db_->table(table).get()) << table;
  }
}

TEST_P(DatabaseContract, InsertedRowReadsBackWithItsTypes) {
  long long id = add_log("run1", "扫描", 1);
  EXPECT_GT(id, 0);
  auto row = db_->table("logs").where("only_id", "run1").first();
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ((*row)["id"], id);
  EXPECT_EQ((*row)["app_name"], "扫描");
  EXPECT_EQ((*row)["status"], 1);
  EXPECT_TRUE((*row)["status"].is_number_integer());
  EXPECT_EQ((*row)["create_time"], "2024-01-02 03:04:05");
  EXPECT_EQ(db_->table("logs").where("only_id", "other").first(), std::nullopt);
}

TEST_P(DatabaseContract, GetAnswersEveryMatchInIdOrder) {
  long long a = add_log("r", "a", 0);
  long long b = add_log("r", "b", 1);
  long long c = add_log("x", "c", 0);
  long long d = add_log("r", "d", 0);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  auto rows = db_->table("logs").where("only_id", "r").get();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["id"], a);
  EXPECT_EQ(rows[1]["id"], b);
  EXPECT_EQ(rows[2]["id"], d);
  EXPECT_EQ(db_->table("logs").where("id", "!=", "0").get().size(), 4u);
  EXPECT_EQ(db_->table("logs").where("only_id", "r").where("status", 0).get().size(), 2u);
  EXPECT_EQ(db_->table("logs").where("id", ">", b).get().size(), 2u);
  EXPECT_EQ(db_->table("logs").where("id", "<=", b).get().size(), 2u);
}

TEST_P(DatabaseContract, SelectRestrictsColumnsInTheGivenOrder) {
  add_log("r", "a", 0);
  auto row = db_->table("logs").select({"status", "only_id"}).first();
  ASSERT_TRUE(row.has_value());
  ASSERT_EQ(row->size(), 2u);
  EXPECT_EQ(row->begin().key(), "status");
  EXPECT_EQ((*row)["only_id"], "r");
  // Without select every column comes, id first.
  auto all = db_->table("logs").first();
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->begin().key(), "id");
  EXPECT_EQ(all->size(), 1 + table_columns("logs").size());
}

TEST_P(DatabaseContract, UpdateAndRemoveTouchOnlyMatchingRows) {
  auto timer = [](const std::string& timer_uuid, int status) {
    return Row{{"timer_uuid", timer_uuid},
               {"uuid", "wf"},
               {"type", "interval"},
               {"jitter", 0},
               {"status", status}};
  };
  db_->table("timer").insert(timer("t1", 0));
  db_->table("timer").insert(timer("t2", 0));
  db_->table("timer").insert(timer("t3", 1));
  EXPECT_EQ(db_->table("timer").where("timer_uuid", "t2").update(Row{{"status", 1}, {"time", "5"}}),
            1);
  auto t2 = db_->table("timer").where("timer_uuid", "t2").first();
  ASSERT_TRUE(t2.has_value());
  EXPECT_EQ((*t2)["status"], 1);
  EXPECT_EQ((*t2)["time"], "5");
  EXPECT_EQ(db_->table("timer").where("timer_uuid", "t1").first().value()["status"], 0);
  EXPECT_EQ(db_->table("timer").where("id", "!=", "0").update(Row{{"status", 0}}), 3);
  EXPECT_EQ(db_->table("timer").where("status", 1).get().size(), 0u);
  EXPECT_EQ(db_->table("timer").where("timer_uuid", "t1").remove(), 1);
  EXPECT_EQ(db_->table("timer").where("timer_uuid", "t1").remove(), 0);
  EXPECT_EQ(db_->table("timer").get().size(), 2u);
}

TEST_P(DatabaseContract, HostileTextsAreBoundNotSpliced) {
  const std::vector<std::string> texts = {"'; DROP TABLE logs; --",
                                          "\" OR 1=1 --",
                                          "$1",
                                          "?",
                                          "a\\b",
                                          "剧本开始执行",
                                          "\n\t",
                                          "Robert'); DELETE FROM workflow; --"};
  for (const auto& text : texts) {
    db_->table("variablen").insert(Row{{"key", text}, {"value", text}, {"status", 0}});
  }
  for (const auto& text : texts) {
    auto rows = db_->table("variablen").where("key", text).get();
    ASSERT_EQ(rows.size(), 1u) << text;
    EXPECT_EQ(rows[0]["value"], text);
  }
  EXPECT_EQ(db_->table("variablen").where("status", 0).get().size(), texts.size());
  EXPECT_NO_THROW(db_->table("logs").get());
}

TEST_P(DatabaseContract, UnknownNamesAndOperatorsAreStoreErrors) {
  EXPECT_THROW(db_->table("nope").get(), StoreError);
  EXPECT_THROW(db_->table("logs; DROP TABLE logs").get(), StoreError);
  EXPECT_THROW(db_->table("logs").select({"nope"}).get(), StoreError);
  EXPECT_THROW(db_->table("logs").where("uuid\" OR 1=1 --", "x").get(), StoreError);
  EXPECT_THROW(db_->table("logs").where("uuid", "LIKE", "x").get(), StoreError);
  EXPECT_THROW(db_->table("logs").where("uuid", "= 1 OR", "x").get(), StoreError);
  EXPECT_THROW(db_->table("logs").insert(Row{{"bogus", 1}}), StoreError);
  EXPECT_THROW(db_->table("logs").update(Row{{"bogus", 1}}), StoreError);
  EXPECT_THROW(db_->table("logs").insert(Row::array()), StoreError);
  EXPECT_EQ(db_->table("logs").get().size(), 0u);
}

TEST_P(DatabaseContract, ListsAndMapsAreRefusedNotStringified) {
  EXPECT_THROW(db_->table("logs").insert(Row{{"args", Row{{"a", 1}}}}), StoreError);
  EXPECT_THROW(db_->table("logs").where("args", Row::array()).get(), StoreError);
  EXPECT_EQ(db_->table("logs").get().size(), 0u);
}

TEST_P(DatabaseContract, IntegerColumnRefusesText) {
  EXPECT_THROW(db_->table("logs").insert(Row{{"status", "not a number"}}), StoreError);
  EXPECT_EQ(db_->table("logs").get().size(), 0u);
}

TEST_P(DatabaseContract, NumbersBoundToTextColumnsCompareAsText) {
  db_->table("workflow").insert(Row{{"uuid", 5}, {"name", "n"}, {"status", 0}});
  auto row = db_->table("workflow").where("uuid", "5").first();
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ((*row)["uuid"], "5");
  EXPECT_TRUE(db_->table("workflow").where("uuid", 5).first().has_value());
}

TEST_P(DatabaseContract, AbsentValueMatchesNull) {
  db_->table("report").insert(Row{{"report_no", "r1"}});
  db_->table("report").insert(Row{{"report_no", "r2"}, {"remarks", "x"}});
  auto rows = db_->table("report").where("remarks", nullptr).get();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["report_no"], "r1");
  EXPECT_TRUE(rows[0]["remarks"].is_null());
  EXPECT_EQ(db_->table("report").where("remarks", "!=", nullptr).get().size(), 1u);
  EXPECT_THROW(db_->table("report").where("remarks", "<", nullptr).get(), StoreError);
}

TEST_P(DatabaseContract, TableNamesIgnoreCase) {
  db_->table("Workflow").insert(Row{{"uuid", "u"}});
  EXPECT_TRUE(db_->table("workflow").where("uuid", "u").first().has_value());
}

TEST_P(DatabaseContract, DescribeNamesTheStore) { EXPECT_FALSE(db_->describe().empty()); }

INSTANTIATE_TEST_SUITE_P(Sqlite, DatabaseContract,
                         ::testing::Values(Backend{"sqlite", [](const TempDir& dir) {
                                                     return open_database(dir.file("db.sqlite"));
                                                   }}));

INSTANTIATE_TEST_SUITE_P(LivePostgres, DatabaseContract,
                         ::testing::Values(Backend{"postgres",
                                                   [](const TempDir&) -> std::unique_ptr<Database> {
                                                     auto url = test::live_pg_url();
                                                     if (!url) return nullptr;
                                                     return open_database(*url);
                                                   }}));

// --- opening by URL, and a damaged or busy file ---

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(OpenDatabase, SqliteUrlFormsNameTheFile) {
  TempDir dir;
  auto db = open_database("sqlite:///" + dir.file("abs.db"));  // sqlite:////tmp/...
  EXPECT_EQ(db->sqlite_path(), dir.file("abs.db"));
  EXPECT_EQ(open_database(dir.file("plain.db"))->sqlite_path(), dir.file("plain.db"));
  EXPECT_TRUE(std::filesystem::exists(dir.file("plain.db")));
}

TEST(OpenDatabase, MalformedUrlsAreConfigErrors) {
  for (std::string url : {"", "sqlite://host/x.db", "sqlite:///", "sqlite:x.db", "mysql://u@h/db",
                          "postgresql://[::1/db", "postgresql://u@h:5432/db?schema=a;b",
                          "postgresql://u@h:5432/db?schema=", "postgresql://u@h:notaport/db"}) {
    SCOPED_TRACE(url);
    EXPECT_THROW(open_database(url), ConfigError);
  }
}

TEST(OpenDatabase, UnreachablePostgresIsAStoreErrorNamingTheServer) {
  std::string message =
      message_of([] { open_database("postgresql://postgres@127.0.0.1:1/postgres"); });
  EXPECT_NE(message.find("127.0.0.1"), std::string::npos) << message;
}

TEST(OpenDatabase, CorruptFileIsAStoreError) {
  TempDir dir;
  std::string path = dir.file("corrupt.db");
  std::ofstream(path) << std::string(8192, '\x42');
  EXPECT_THROW(open_database(path), StoreError);
  std::string message = message_of([&] { open_database(path); });
  EXPECT_NE(message.find("vqflow db init"), std::string::npos) << message;
}

TEST(OpenDatabase, MissingFolderOrDirectoryIsAStoreError) {
  TempDir dir;
  std::string missing = dir.file("no/such/folder/x.db");
  std::string message = message_of([&] { open_database(missing); });
  EXPECT_NE(message.find(missing), std::string::npos) << message;
  EXPECT_THROW(open_database(missing), StoreError);
  EXPECT_THROW(open_database(dir.path().string()), StoreError);
}

TEST(OpenDatabase, LockedFileIsAStoreErrorAndNothingIsWritten) {
  TempDir dir;
  std::string path = dir.file("locked.db");
  auto db = open_database(path);
  db->init_schema();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string message = message_of([&] { db->table("report").insert(Row{{"report_no", "r"}}); });
  EXPECT_NE(message.find("locked"), std::string::npos) << message;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(db->table("report").get().size(), 0u);
}

TEST(TableColumns, KnowsTheSixTables) {
  EXPECT_EQ(table_columns("variablen"), (std::vector<std::string>{"key", "value", "status"}));
  EXPECT_EQ(table_columns("timer").size(), 11u);
  EXPECT_EQ(table_columns("workflow").size(), 17u);
  EXPECT_EQ(
      table_columns("checkpoints"),
      (std::vector<std::string>{"only_id", "seq", "node", "outcome", "writes", "create_time"}));
  EXPECT_THROW(table_columns("kv"), StoreError);
}

TEST(LivePostgresDatabase, NulInTextIsRefusedNotCut) {
  auto url = test::live_pg_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
  auto db = open_database(*url);
  db->init_schema();
  EXPECT_THROW(db->table("logs").insert(Row{{"result", std::string("a\0b", 3)}}), StoreError);
  EXPECT_EQ(db->table("logs").get().size(), 0u);
}

TEST(LivePostgresDatabase, LostConnectionIsReportedOnceThenReopened) {
  auto url = test::live_pg_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
  std::string name = "victim_" + std::to_string(::getpid());
  auto db = open_database(*url + "&application_name=" + name);
  db->init_schema();
  db->table("report").insert(Row{{"report_no", "before"}});

  PGconn* admin = PQconnectdb(std::getenv("VQFLOW_TEST_PG"));
  ASSERT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
  const char* params[] = {name.c_str()};
  PGresult* killed = PQexecParams(
      admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = $1",
      1, nullptr, params, nullptr, nullptr, 0);
  EXPECT_EQ(PQresultStatus(killed), PGRES_TUPLES_OK) << PQerrorMessage(admin);
  EXPECT_EQ(PQntuples(killed), 1);
  PQclear(killed);
  PQfinish(admin);

  // The statement that met the dead connection fails; it is not replayed behind the caller's back.
  EXPECT_THROW(db->table("report").insert(Row{{"report_no", "lost"}}), StoreError);
  // The next call opens a new connection, in the same schema.
  db->table("report").insert(Row{{"report_no", "after"}});
  auto rows = db->table("report").get();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["report_no"], "before");
  EXPECT_EQ(rows[1]["report_no"], "after");
}

// Runs `sql` on a connection of its own, as an administrator beside the store would.
void exec_as_admin(const std::string& sql) {
  PGconn* admin = PQconnectdb(std::getenv("VQFLOW_TEST_PG"));
  ASSERT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
  PGresult* result = PQexec(admin, sql.c_str());
  EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(admin);
  PQclear(result);
  PQfinish(admin);
}

// The schema a live_pg_url() works in.
std::string schema_of(const std::string& url) { return url.substr(url.find("schema=") + 7); }

TEST(LivePostgresDatabase, RepeatedStatementsStayRightPastTheirCacheAndARebuiltTable) {
  auto url = test::live_pg_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
  auto db = open_database(*url);
  db->init_schema();
  for (const char* no : {"r1", "r2", "r3"}) db->table("report").insert(Row{{"report_no", no}});

  // Each limit is a query shape of its own: far more than one connection keeps
  // prepared, then the first shapes again.
  for (long long limit = 1; limit <= 300; ++limit) {
    ASSERT_EQ(db->select(db->table("report"), limit).size(), std::min<std::size_t>(limit, 3));
  }
  ASSERT_EQ(db->select(db->table("report"), 1).size(), 1u);

  // The table dropped and made anew under statements prepared for the old one.
  exec_as_admin("DROP TABLE \"" + schema_of(*url) + "\".report");
  EXPECT_THROW(db->table("report").insert(Row{{"report_no", "nowhere"}}), StoreError);
  db->init_schema();
  db->table("report").insert(Row{{"report_no", "r4"}});
  auto rows = db->select(db->table("report"), 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["report_no"], "r4");
}

TEST(LivePostgresDatabase, StatementsTheServerForgetsAreSentAgainUnpreparedOnce) {
  auto url = test::live_pg_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
  auto db = open_database(*url);
  db->init_schema();
  db->table("report").insert(Row{{"report_no", "r1"}});
  ASSERT_EQ(db->table("report").get().size(), 1u);

  // As a pooler in transaction mode would: the session loses its prepared
  // statements, here through a trigger that runs on the next insert.
  exec_as_admin(
      fmt::format("CREATE FUNCTION \"{0}\".forget() RETURNS trigger LANGUAGE plpgsql AS "
                  "$$ BEGIN EXECUTE 'DEALLOCATE ALL'; RETURN NEW; END $$; "
                  "CREATE TRIGGER forget AFTER INSERT ON \"{0}\".report FOR EACH ROW "
                  "EXECUTE FUNCTION \"{0}\".forget()",
                  schema_of(*url)));

  db->table("report").insert(Row{{"report_no", "r2"}});  // forgets everything
  db->table("report").insert(Row{{"report_no", "r3"}});  // its statement is gone
  std::vector<std::string> numbers;
  for (const Row& row : db->table("report").get()) numbers.push_back(row["report_no"]);
  EXPECT_EQ(numbers, (std::vector<std::string>{"r1", "r2", "r3"}));
}

}  // namespace
}  // namespace vqflow
