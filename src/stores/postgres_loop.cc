#include <fmt/format.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <unordered_map>

#include "base/errors.h"
#include "base/utilities.h"
#include "stores/async_stores.h"
#include "stores/postgres_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;

namespace {

using ResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;

// Statements sent as one pipeline segment: they run in one implicit
// transaction that commits at the segment's end, or not at all.
struct Job {
  explicit Job(asio::any_io_executor executor)
      : signal(executor, asio::steady_timer::time_point::max()) {}
  std::vector<ResultPtr> results;  // one per statement
  std::string failure;             // the first error, as the server gave it
  bool done = false;
  asio::steady_timer signal;
};

// One PostgreSQL connection in pipeline mode, driven by the loop: statements of
// every caller are sent as they come and their results matched in order, so
// while one caller waits for a commit the others' statements are already on
// the way. Opening the connection blocks (once, and again after a failure).
class PgConnection : public std::enable_shared_from_this<PgConnection> {
 public:
  PgConnection(pg::Address address, asio::any_io_executor executor)
      : address_(std::move(address)), executor_(executor), socket_(executor) {}

  ~PgConnection() { close(); }

  const std::string& where() const { return address_.where; }
  // Calls of run not yet answered.
  std::size_t in_flight() const { return in_flight_; }

  // Runs the statements in one transaction; `prepare` keeps a prepared
  // statement per text on this connection (for texts that repeat). Throws
  // StoreError "postgresql WHERE: DOING: CAUSE" when one fails.
  // (Taken by value: the caller's temporaries are gone once it awaits.)
  awaitable<std::vector<ResultPtr>> run(std::vector<sql::Statement> statements, std::string doing,
                                        bool prepare) {
    if (conn_ == nullptr) connect();
    auto job = std::make_shared<Job>(executor_);
    ++in_flight_;
    struct Done {
      std::size_t& count;
      ~Done() { --count; }
    } done{in_flight_};
    // Every parameter is converted before anything is sent: a value that
    // cannot be stored fails the call with the connection still in step.
    std::vector<std::vector<std::optional<std::string>>> texts;
    for (const sql::Statement& s : statements) {
      auto& mine = texts.emplace_back();
      for (const Value& param : s.params)
        mine.push_back(pg::param_text(param, address_.where, doing));
    }
    for (std::size_t k = 0; k < statements.size(); ++k) {
      const sql::Statement& s = statements[k];
      std::vector<const char*> values;
      for (const auto& text : texts[k]) values.push_back(text ? text->c_str() : nullptr);
      const int count = static_cast<int>(values.size());
      if (prepare) {
        auto [name, fresh] = prepared_name(s.text);
        if (fresh) {
          if (PQsendPrepare(conn_, name.c_str(), s.text.c_str(), count, nullptr) != 1) lost(doing);
          expected_.push_back({Expect::prepare, job, name});
        }
        if (PQsendQueryPrepared(conn_, name.c_str(), count, values.data(), nullptr, nullptr, 0) !=
            1)
          lost(doing);
      } else if (PQsendQueryParams(conn_, s.text.c_str(), count, nullptr, values.data(), nullptr,
                                   nullptr, 0) != 1) {
        lost(doing);
      }
      expected_.push_back({Expect::statement, job, {}});
    }
    if (PQpipelineSync(conn_) != 1) lost(doing);
    expected_.push_back({Expect::sync, job, {}});
    flush();
    pump();
    while (!job->done) {
      boost::system::error_code ignored;
      co_await job->signal.async_wait(asio::redirect_error(use_awaitable, ignored));
    }
    if (!job->failure.empty()) {
      throw StoreError(fmt::format("postgresql {}: {}: {}", address_.where, doing,
                                   pg::first_line(job->failure)));
    }
    co_return std::move(job->results);
  }

 private:
  struct Expect {
    enum Kind { prepare, statement, sync } kind;
    std::shared_ptr<Job> job;
    std::string name;  // of a prepare
  };

  void connect() {
    PGconn* conn = PQconnectdb(address_.conninfo.c_str());
    auto refuse = [&](const std::string& cause) {
      if (conn != nullptr) PQfinish(conn);
      throw StoreError(fmt::format(
          "postgresql {}: connect: {}: check that the server runs, that the URL names it and "
          "that the user may log in",
          address_.where, cause));
    };
    if (conn == nullptr) refuse("out of memory");
    if (PQstatus(conn) != CONNECTION_OK) refuse(pg::first_line(PQerrorMessage(conn)));
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    if (PQsetClientEncoding(conn, "UTF8") != 0) refuse("cannot use UTF8");
    if (!address_.schema.empty()) {
      // The name was checked to be a plain identifier; the blocking store creates it.
      ResultPtr set(PQexec(conn, ("SET search_path TO \"" + address_.schema + "\"").c_str()),
                    PQclear);
      if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK)
        refuse(pg::first_line(PQerrorMessage(conn)));
    }
    if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) != 1) {
      refuse("cannot enter pipeline mode: " + pg::first_line(PQerrorMessage(conn)));
    }
    conn_ = conn;
    prepared_.clear();
    tag_ = Random::random_text(8);
    boost::system::error_code ec;
    socket_.assign(PQsocket(conn_), ec);
    if (ec) {
      close();
      throw StoreError(fmt::format("postgresql {}: connect: {}", address_.where, ec.message()));
    }
  }

  void close() {
    if (conn_ == nullptr) return;
    if (socket_.is_open()) socket_.release();  // the descriptor is libpq's to close
    PQfinish(conn_);
    conn_ = nullptr;
  }

  // The name of the statement prepared for `text`, and whether it must be
  // prepared first. Past 128 texts the names start afresh (the old ones stay
  // on the server until the connection closes; the texts are a fixed few).
  std::pair<std::string, bool> prepared_name(const std::string& text) {
    if (auto found = prepared_.find(text); found != prepared_.end()) return {found->second, false};
    if (prepared_.size() >= 128) prepared_.clear();
    std::string name = fmt::format("vql_{}_{}", tag_, ++serial_);
    prepared_.emplace(text, name);
    return {name, true};
  }

  // The connection broke while sending: everything in flight fails.
  [[noreturn]] void lost(const std::string& doing) {
    const std::string cause = pg::first_line(PQerrorMessage(conn_));
    fail_all(cause + " (connection lost)");
    throw StoreError(
        fmt::format("postgresql {}: {}: {} (connection lost)", address_.where, doing, cause));
  }

  void fail_all(const std::string& cause) {
    close();
    std::deque<Expect> failed;
    failed.swap(expected_);
    for (Expect& e : failed) {
      if (e.job->failure.empty()) e.job->failure = cause;
      if (e.kind == Expect::sync) finish(*e.job);
    }
  }

  static void finish(Job& job) {
    job.done = true;
    job.signal.cancel();
  }

  void flush() {
    if (conn_ == nullptr || writing_) return;
    const int rc = PQflush(conn_);
    if (rc < 0) {
      fail_all(pg::first_line(PQerrorMessage(conn_)) + " (connection lost)");
      return;
    }
    if (rc == 0) return;
    writing_ = true;
    socket_.async_wait(asio::posix::stream_descriptor::wait_write,
                       [self = shared_from_this()](boost::system::error_code) {
                         // Also after a cancel: a call sent meanwhile may wait on this.
                         self->writing_ = false;
                         if (self->conn_ == nullptr) return;
                         self->flush();
                         self->pump();
                       });
  }

  // Reads what has come, hands out the results, and waits for more while
  // anything is expected. The wait only reports data that arrives after it
  // starts, so a poll right after it catches data that came before.
  void pump() {
    while (conn_ != nullptr) {
      if (PQconsumeInput(conn_) == 0) {
        fail_all(pg::first_line(PQerrorMessage(conn_)) + " (connection lost)");
        return;
      }
      deliver();
      if (conn_ == nullptr) return;
      if (expected_.empty()) {
        // Nothing is due: no wait may keep the loop from finishing (a
        // command's loop ends when its runs do).
        if (reading_) socket_.cancel();
        return;
      }
      if (!reading_) {
        reading_ = true;
        socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                           [self = shared_from_this()](boost::system::error_code) {
                             // Also after a cancel: a call sent meanwhile found
                             // this wait still pending and armed none of its own.
                             self->reading_ = false;
                             if (self->conn_ != nullptr && !self->expected_.empty()) self->pump();
                           });
      }
      pollfd ready{PQsocket(conn_), POLLIN, 0};
      if (::poll(&ready, 1, 0) <= 0) return;
    }
  }

  void deliver() {
    while (!expected_.empty() && PQisBusy(conn_) == 0) {
      PGresult* raw = PQgetResult(conn_);
      Expect& front = expected_.front();
      if (front.kind == Expect::sync) {
        if (raw == nullptr) return;
        ResultPtr result(raw, PQclear);
        if (PQresultStatus(raw) != PGRES_PIPELINE_SYNC) {
          fail_all("out of step with the server");
          return;
        }
        auto job = front.job;
        expected_.pop_front();
        finish(*job);
        continue;
      }
      if (raw == nullptr) {  // the end of this statement's results
        if (front.kind == Expect::statement && !got_result_) {
          front.job->results.emplace_back(nullptr, PQclear);
        }
        got_result_ = false;
        expected_.pop_front();
        continue;
      }
      ResultPtr result(raw, PQclear);
      got_result_ = true;
      const auto status = PQresultStatus(raw);
      const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
      if (!ok && front.job->failure.empty()) {
        front.job->failure = status == PGRES_PIPELINE_ABORTED
                                 ? "skipped after an earlier failure"
                                 : std::string(PQresultErrorMessage(raw));
      }
      if (front.kind == Expect::prepare) {
        if (!ok) {
          std::erase_if(prepared_, [&](const auto& entry) { return entry.second == front.name; });
        }
      } else {
        front.job->results.push_back(std::move(result));
      }
    }
  }

  pg::Address address_;
  asio::any_io_executor executor_;
  asio::posix::stream_descriptor socket_;
  PGconn* conn_ = nullptr;
  std::deque<Expect> expected_;
  bool got_result_ = false;
  std::size_t in_flight_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  std::unordered_map<std::string, std::string> prepared_;  // text -> name
  std::string tag_;
  unsigned long long serial_ = 0;
};

class LoopPostgres final : public AsyncDb {
 public:
  LoopPostgres(const pg::Address& address, std::shared_ptr<Database> blocking,
               asio::any_io_executor executor, Counter& failures)
      : blocking_(std::move(blocking)),
        executor_(executor),
        // Reads apart from commits: a select does not wait behind an fsync.
        reads_(std::make_shared<PgConnection>(address, executor)),
        failures_(&failures) {
    for (std::size_t i = 0; i < k_commit_slots; ++i) {
      writes_.push_back(std::make_shared<PgConnection>(address, executor));
    }
  }

  awaitable<std::vector<Row>> select(Query query, std::optional<long long> limit) override {
    if (!frees_loop()) co_return blocking_->select(query, limit);
    auto s = sql::build_select(query, limit, sql::Placeholders::dollar_number);
    auto sent =
        counting_failure(reads_->run({s}, "select from " + query.table(), true), *failures_);
    std::vector<ResultPtr> results = co_await std::move(sent);
    std::vector<Row> rows;
    const PGresult* result = results.front().get();
    const int count = result != nullptr ? PQntuples(result) : 0;
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
      Row row = Row::object();
      for (std::size_t c = 0; c < s.columns.size(); ++c) {
        row[s.columns[c]] = pg::cell(result, r, static_cast<int>(c));
      }
      rows.push_back(std::move(row));
    }
    co_return rows;
  }

  awaitable<void> insert_rows(std::vector<TableRow> rows) override {
    if (!frees_loop()) {
      blocking_->insert_rows(rows);
      co_return;
    }
    const std::vector<sql::Statement> statements = pg::insert_statements(rows);
    if (statements.empty()) co_return;
    // The connection with the fewest transactions out.
    auto connection = *std::min_element(writes_.begin(), writes_.end(), [](auto& a, auto& b) {
      return a->in_flight() < b->in_flight();
    });
    auto sent = counting_failure(connection->run(statements, "insert rows", false), *failures_);
    co_await std::move(sent);
  }

  bool frees_loop() const override { return runs_here(executor_); }
  std::size_t commit_slots() const override { return k_commit_slots; }

 private:
  std::shared_ptr<Database> blocking_;
  asio::any_io_executor executor_;
  std::shared_ptr<PgConnection> reads_;
  static constexpr std::size_t k_commit_slots = 4;
  std::vector<std::shared_ptr<PgConnection>> writes_;
  Counter* failures_;
};

}  // namespace

std::shared_ptr<AsyncDb> loop_db(const std::string& db_url, std::shared_ptr<Database> db,
                                 asio::any_io_executor executor, Counter& failures) {
  if (db_url.rfind("postgres", 0) != 0 || !executor) return in_place_db(std::move(db));
  return std::make_shared<LoopPostgres>(pg::parse_url(db_url), std::move(db), std::move(executor),
                                        failures);
}

}  // namespace vqflow
