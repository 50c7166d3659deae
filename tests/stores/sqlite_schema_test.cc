// Schema of the embedded file: what new files get, and that files made by
// earlier versions open and work unchanged.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "stores/database.h"
#include "stores/database_sql.h"
#include "stores/sqlite_kv_store.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::TempDir;

// The single integer answer of `sql` on a connection of its own.
long long query_int(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  long long value = -1;
  if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

TEST(SqliteSchema, NewFilesAppendRecordsWithoutASequenceRow) {
  TempDir dir;
  const std::string path = dir.file("new.db");
  auto db = open_database(path);
  db->init_schema();
  EXPECT_EQ(db->insert("logs", Row{{"only_id", "a"}}), 1);
  EXPECT_EQ(db->insert("logs", Row{{"only_id", "b"}}), 2);
  db->insert("workflow", Row{{"uuid", "w"}});
  EXPECT_EQ(query_int(path, "SELECT count(*) FROM sqlite_sequence WHERE name = 'logs'"), 0);
  // Tables whose rows are deleted keep ids that are never reused.
  EXPECT_EQ(query_int(path, "SELECT count(*) FROM sqlite_sequence WHERE name = 'workflow'"), 1);
}

TEST(SqliteSchema, FilesWhoseRecordTablesCountIdsInASequenceKeepWorking) {
  TempDir dir;
  const std::string path = dir.file("old.db");
  {
    // The tables as earlier versions made them: every id from a sequence.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    for (const auto& statement :
         sql::schema_statements("INTEGER PRIMARY KEY AUTOINCREMENT", " STRICT")) {
      ASSERT_EQ(sqlite3_exec(raw, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE kv (key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL, "
                           "expires_at INTEGER) WITHOUT ROWID; CREATE INDEX kv_expires_at ON kv "
                           "(expires_at) WHERE expires_at IS NOT NULL;"
                           "INSERT INTO logs (id, only_id) VALUES (41, 'old');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }
  auto db = open_database(path);
  db->init_schema();
  EXPECT_EQ(db->insert("logs", Row{{"only_id", "new"}}), 42);
  EXPECT_EQ(db->table("logs").get().size(), 2u);
  EXPECT_EQ(query_int(path, "SELECT seq FROM sqlite_sequence WHERE name = 'logs'"), 42);
  auto kv = db->embedded_kv();
  kv->set("k", "v", 60);
  EXPECT_EQ(kv->incr("n"), 1);
  EXPECT_EQ(kv->get("k"), "v");
}

TEST(SqliteSchema, ExpiredKeysLeaveInSlicesWithoutAnExpiryIndex) {
  TempDir dir;
  const std::string path = dir.file("sweep.db");
  auto clock = test::ManualClock::make();
  auto kv = open_sqlite_kv_store(path, clock);
  for (int batch = 0; batch < 6; ++batch) {
    std::vector<KvWrite> writes;
    for (int i = 0; i < 1000; ++i) {
      writes.push_back(KvWrite{"old" + std::to_string(batch * 1000 + i), "v", 10});
    }
    kv->set_many(writes);
  }
  kv->set("kept", "v");
  EXPECT_EQ(query_int(path, "SELECT count(*) FROM sqlite_master WHERE name = 'kv_expires_at'"), 0);
  clock->advance(std::chrono::seconds(11));
  // Each slice walks more keys than were written since the last one.
  for (int i = 0; i < 2500; ++i) kv->set("busy", std::to_string(i), 60);
  EXPECT_EQ(query_int(path, "SELECT count(*) FROM kv"), 2);
  EXPECT_EQ(kv->get("kept"), "v");
  EXPECT_EQ(kv->get("busy"), "2499");
}

}  // namespace
}  // namespace vqflow
