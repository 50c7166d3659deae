#include "stores/sqlite_checkpointer.h"

#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include "stores/sqlite_connection.h"

namespace vqflow {

WalCheckpointer::WalCheckpointer(sqlite3* db, std::string path, int frames_per_checkpoint)
    : db_(db), path_(std::move(path)), frames_(frames_per_checkpoint) {
  if (db_ == nullptr || path_.empty() || path_ == ":memory:" || frames_ <= 0) return;
  sqlite3_wal_hook(db_, &WalCheckpointer::on_commit, this);
  active_ = true;
}

WalCheckpointer::~WalCheckpointer() {
  if (!active_) return;
  // Replaces our hook: commits from now on checkpoint inline again.
  sqlite3_wal_autocheckpoint(db_, frames_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

long long WalCheckpointer::completed() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

int WalCheckpointer::on_commit(void* self, sqlite3* db, const char* name, int frames) {
  auto* checkpointer = static_cast<WalCheckpointer*>(self);
  if (frames >= checkpointer->frames_ * k_inline_factor) {
    // The thread is not keeping up (or could not start): bound the WAL here.
    // A checkpoint of the thread's that is still copying holds the checkpoint
    // lock, so ours would find it taken and the WAL would go on growing: wait
    // for it first. The thread never waits for this connection.
    checkpointer->wait_for_running_checkpoint();
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else if (frames >= checkpointer->frames_) {
    checkpointer->request();
  }
  return SQLITE_OK;
}

void WalCheckpointer::wait_for_running_checkpoint() {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [this] { return !running_; });
}

void WalCheckpointer::request() {
  std::lock_guard lock(mutex_);
  if (stopping_ || requested_) return;
  requested_ = true;
  if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
  wake_.notify_one();
}

void WalCheckpointer::work() {
  // Normal priority on purpose: a checkpoint holds the file's checkpoint lock
  // while it copies, and a commit past the inline bound waits for it. A thread
  // starved by a busy machine would stall those commits for as long as it
  // waits for a CPU.
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, k_sqlite_busy_timeout_ms);
    // The checkpoint syncs the WAL before copying and the file after it.
    rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    spdlog::warn("sqlite {}: background checkpoints unavailable ({}); checkpointing on commit",
                 path_, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return;  // the hook's inline bound keeps the WAL in check
  }
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return requested_ || stopping_; });
    if (stopping_) break;
    running_ = true;
    lock.unlock();
    // Passive: copies what no reader still needs, never waits for the writer.
    rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
      spdlog::warn("sqlite {}: background checkpoint: {}", path_, sqlite3_errmsg(db));
    }
    lock.lock();
    running_ = false;
    requested_ = false;
    if (rc == SQLITE_OK) ++completed_;
    finished_.notify_all();
  }
  lock.unlock();
  sqlite3_close_v2(db);
}

}  // namespace vqflow
