#pragma once
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace vqflow {

// Copies a file's WAL back into the database on a thread of its own, so that
// the connection that commits never stops for a checkpoint and the file sync
// that ends it. Installs itself as the connection's WAL hook in place of the
// automatic checkpoint; the thread starts at the first checkpoint it is asked
// for and opens a connection of its own. Should the WAL outgrow the thread
// (k_inline_factor times the threshold), the committing connection checkpoints
// itself, as the automatic checkpoint would, after waiting for a checkpoint the
// thread is in the middle of (it holds the lock that checkpoints take). That
// wait is why the thread keeps a normal priority.
//
// Construct and destroy on the thread that owns `db`, which must outlive this
// object; the hook runs on whatever thread commits (under the owner's lock).
class WalCheckpointer {
 public:
  static constexpr int k_inline_factor = 8;

  // No-op for databases without a file of their own (":memory:", "").
  WalCheckpointer(sqlite3* db, std::string path, int frames_per_checkpoint);
  // Stops the thread (after the checkpoint it is running, if any) and restores
  // the automatic checkpoint, so that closing the connection still checkpoints.
  ~WalCheckpointer();
  WalCheckpointer(const WalCheckpointer&) = delete;
  WalCheckpointer& operator=(const WalCheckpointer&) = delete;

  // Checkpoints the background thread has completed so far.
  long long completed() const;

 private:
  static int on_commit(void* self, sqlite3* db, const char* name, int frames);
  void request();
  // Blocks while the thread is copying (not while a request merely waits).
  void wait_for_running_checkpoint();
  void work();

  sqlite3* db_;
  std::string path_;
  int frames_;
  bool active_ = false;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  bool running_ = false;  // the thread is in a checkpoint
  bool requested_ = false;
  bool stopping_ = false;
  long long completed_ = 0;
  std::thread thread_;
};

}  // namespace vqflow
