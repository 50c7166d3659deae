// Background WAL checkpoints: the WAL stays bounded while a connection keeps
// committing, and nothing committed is lost however the checkpointer stops.
#include "stores/sqlite_checkpointer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "stores/sqlite_connection.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::TempDir;

long long file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

long long count_rows(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &statement, nullptr), SQLITE_OK);
  long long value = -1;
  if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

void insert_rows(SqliteConnection& connection, int rows) {
  for (int i = 0; i < rows; ++i) {
    auto insert = connection.statement("INSERT INTO t (v) VALUES (?1)");
    insert->bind_text(1, std::string(600, static_cast<char>('a' + i % 26)));
    insert->step();
  }
}

TEST(WalCheckpointer, KeepsTheWalBoundedWhileCommitsGoOn) {
  TempDir dir;
  const std::string path = dir.file("wal.db");
  constexpr int k_frames = 64;
  SqliteConnection connection(path);
  connection.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
  {
    WalCheckpointer checkpointer(connection.handle(), path, k_frames);
    // Each autocommitted insert appends at least one frame.
    for (int round = 0; round < 40; ++round) {
      insert_rows(connection, 50);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (checkpointer.completed() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(checkpointer.completed(), 0);
    // 2,000 commits without checkpoints would need 2,000+ frames of 4 KiB; the
    // WAL restarts after each checkpoint, and the inline bound caps the rest.
    const long long frame_bytes = 4096 + 24;
    EXPECT_LE(file_size(path + "-wal"),
              frame_bytes * k_frames * (WalCheckpointer::k_inline_factor + 2));
  }
  EXPECT_EQ(count_rows(path), 2000);
}

TEST(WalCheckpointer, StoppingMidCheckpointLosesNothing) {
  TempDir dir;
  const std::string path = dir.file("stop.db");
  {
    SqliteConnection connection(path);
    connection.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
    WalCheckpointer checkpointer(connection.handle(), path, 8);
    insert_rows(connection, 500);
    // Destroyed while its thread is likely still copying.
  }
  EXPECT_EQ(count_rows(path), 500);
  // The last connection's close checkpointed and removed the WAL.
  EXPECT_EQ(file_size(path + "-wal"), -1);
}

TEST(WalCheckpointer, CommitsCheckpointThemselvesWhenTheThreadCannotOpenTheFile) {
  TempDir dir;
  const std::string path = dir.file("inline.db");
  SqliteConnection connection(path);
  connection.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
  constexpr int k_frames = 16;
  {
    // A path the thread cannot open: only the inline bound is left.
    WalCheckpointer checkpointer(connection.handle(), dir.file("missing/inline.db"), k_frames);
    insert_rows(connection, 1000);
    EXPECT_EQ(checkpointer.completed(), 0);
    EXPECT_LE(file_size(path + "-wal"),
              (4096 + 24) * k_frames * (WalCheckpointer::k_inline_factor + 2));
  }
  EXPECT_EQ(count_rows(path), 1000);
}

TEST(WalCheckpointer, DoesNothingForInMemoryDatabases) {
  SqliteConnection connection(":memory:");
  connection.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
  WalCheckpointer checkpointer(connection.handle(), ":memory:", 1);
  insert_rows(connection, 10);
  EXPECT_EQ(checkpointer.completed(), 0);
}

}  // namespace
}  // namespace vqflow
