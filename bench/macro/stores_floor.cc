// The floor of section 3: the round trips of one recorded run repeated by a
// plain hiredis + libpq client, as fast as it goes. Each client thread plays
// runs one after another on connections of its own: the key-value commands
// the engine sent together go as one pipeline, selects are prepared, and
// records go to a committer that gathers the rows of every thread waiting
// into one transaction (pipelined, synchronous commit), the way the engine
// shares its commits between runs; one committer or four, whichever is faster. A run goes on only
// once its records are committed, as the engine's does.
#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <libpq-fe.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "macro.h"
#include "stores/redis_address.h"

namespace vqflow::bench {

namespace {

[[noreturn]] void pg_fail(PGconn* conn, const std::string& doing) {
  throw std::runtime_error(fmt::format("floor postgresql {}: {}", doing, PQerrorMessage(conn)));
}

PGconn* pg_connect(const std::string& url, const std::string& schema) {
  PGconn* conn = PQconnectdb(url.substr(0, url.find('?')).c_str());
  if (PQstatus(conn) != CONNECTION_OK) pg_fail(conn, "connect");
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  for (const std::string& sql : {std::string("SET synchronous_commit = on"),
                                 fmt::format("SET search_path TO \"{}\"", schema)}) {
    PGresult* r = PQexec(conn, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) pg_fail(conn, sql);
  }
  return conn;
}

// Parameter texts of values (null stays null; lists and maps as JSON).
struct Params {
  std::vector<std::string> texts;
  std::vector<bool> nulls;
  void add(const Value& v) {
    nulls.push_back(v.is_null());
    texts.push_back(v.is_string() ? v.get<std::string>() : v.is_null() ? "" : json_text(v));
  }
  std::vector<const char*> pointers() const {
    std::vector<const char*> out;
    for (std::size_t i = 0; i < texts.size(); ++i)
      out.push_back(nulls[i] ? nullptr : texts[i].c_str());
    return out;
  }
};

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += fmt::format("{}\"{}\"", out.empty() ? "" : ", ", name);
  return out;
}

// Commits the rows handed in by every client thread, one transaction at a time.
class Committer {
 public:
  Committer(const std::string& url, const std::string& schema) : conn_(pg_connect(url, schema)) {
    if (PQenterPipelineMode(conn_) != 1) pg_fail(conn_, "pipeline mode");
    thread_ = std::thread([this] { loop(); });
  }
  ~Committer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    PQfinish(conn_);
  }
  // Returns once `rows` are committed; throws when their transaction failed.
  void commit(std::vector<TableRow> rows) {
    auto batch = std::make_shared<Batch>();
    batch->rows = std::move(rows);
    std::unique_lock lock(mutex_);
    queue_.push_back(batch);
    wake_.notify_all();
    done_.wait(lock, [&] { return batch->done; });
    if (!batch->failure.empty()) throw std::runtime_error(batch->failure);
  }
  long commits() const { return commits_; }

 private:
  struct Batch {
    std::vector<TableRow> rows;
    bool done = false;
    std::string failure;
  };

  void loop() {
    while (true) {
      std::vector<std::shared_ptr<Batch>> taken;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        taken.assign(queue_.begin(), queue_.end());
        queue_.clear();
      }
      std::string failure;
      try {
        store(taken);
      } catch (const std::exception& e) {
        failure = e.what();
      }
      ++commits_;
      std::lock_guard lock(mutex_);
      for (auto& batch : taken) {
        batch->failure = failure;
        batch->done = true;
      }
      done_.notify_all();
    }
  }

  // One multi-row INSERT per table and column list (runs rows one by one,
  // as upserts), all in one pipeline segment: one implicit transaction.
  void store(const std::vector<std::shared_ptr<Batch>>& taken) {
    std::map<std::pair<std::string, std::string>, std::vector<const Row*>> groups;
    std::vector<std::pair<std::string, const Row*>> keyed;
    for (const auto& batch : taken) {
      for (const TableRow& r : batch->rows) {
        std::vector<std::string> names;
        for (const auto& [name, value] : r.row.items()) names.push_back(name);
        if (r.table == "runs") {
          keyed.emplace_back(r.table, &r.row);
        } else {
          groups[{r.table, quoted_list(names)}].push_back(&r.row);
        }
      }
    }
    int sent = 0;
    auto send = [&](const std::string& sql, const Params& params) {
      auto values = params.pointers();
      if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                            values.data(), nullptr, nullptr, 0) != 1)
        pg_fail(conn_, "send insert");
      ++sent;
    };
    for (const auto& [key, rows] : groups) {
      Params params;
      std::string tuples;
      for (const Row* row : rows) {
        std::string tuple;
        for (const auto& [name, value] : row->items()) {
          params.add(value);
          tuple += fmt::format("{}${}", tuple.empty() ? "" : ", ", params.texts.size());
        }
        tuples += fmt::format("{}({})", tuples.empty() ? "" : ", ", tuple);
      }
      send(fmt::format("INSERT INTO \"{}\" ({}) VALUES {}", key.first, key.second, tuples), params);
    }
    for (const auto& [table, row] : keyed) {
      Params params;
      std::vector<std::string> names;
      std::string marks, sets;
      for (const auto& [name, value] : row->items()) {
        params.add(value);
        names.push_back(name);
        marks += fmt::format("{}${}", marks.empty() ? "" : ", ", params.texts.size());
        if (name != "only_id") {
          sets += fmt::format("{}\"{}\" = excluded.\"{}\"", sets.empty() ? "" : ", ", name, name);
        }
      }
      send(fmt::format("INSERT INTO \"{}\" ({}) VALUES ({}) ON CONFLICT (\"only_id\") DO {}", table,
                       quoted_list(names), marks, sets.empty() ? "NOTHING" : "UPDATE SET " + sets),
           params);
    }
    if (PQpipelineSync(conn_) != 1) pg_fail(conn_, "sync");
    std::string failure;
    int ended = 0;
    while (ended < sent) {
      PGresult* r = PQgetResult(conn_);
      if (r == nullptr) {
        ++ended;
        continue;
      }
      const auto status = PQresultStatus(r);
      if (status != PGRES_COMMAND_OK && failure.empty()) failure = PQresultErrorMessage(r);
      PQclear(r);
    }
    PGresult* sync = PQgetResult(conn_);
    const bool synced = sync != nullptr && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
    PQclear(sync);
    if (!synced) pg_fail(conn_, "pipeline out of step");
    if (!failure.empty()) throw std::runtime_error("floor commit: " + failure);
  }

  PGconn* conn_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<std::shared_ptr<Batch>> queue_;
  bool stopping_ = false;
  std::atomic<long> commits_{0};
};

// One client thread's connections and the run it repeats.
class Client {
 public:
  Client(const std::string& redis_url, const std::string& pg_url, const std::string& schema)
      : conn_(pg_connect(pg_url, schema)) {
    const RedisAddress address = parse_redis_url(redis_url);
    redis_ = redisConnect(address.host.c_str(), address.port);
    if (redis_ == nullptr || redis_->err != 0) throw std::runtime_error("floor redis connect");
    if (address.db != 0) {
      auto* r = static_cast<redisReply*>(redisCommand(redis_, "SELECT %lld", address.db));
      if (r != nullptr) freeReplyObject(r);
    }
  }
  ~Client() {
    PQfinish(conn_);
    if (redis_ != nullptr) redisFree(redis_);
  }

  void play(const std::vector<StoreCounts::TraceStep>& trace, const std::string& recorded,
            const std::string& only_id, Committer& committer) {
    for (const auto& step : trace) {
      switch (step.kind) {
        case StoreCounts::TraceStep::kv:
          kv(step.commands, recorded, only_id);
          break;
        case StoreCounts::TraceStep::select:
          select(step);
          break;
        case StoreCounts::TraceStep::records: {
          std::vector<TableRow> rows;
          for (const TableRow& r : step.rows) {
            Row row = r.row;
            for (auto it = row.begin(); it != row.end(); ++it) {
              if (it->is_string()) *it = replaced(it->get<std::string>(), recorded, only_id);
            }
            rows.push_back(TableRow{r.table, std::move(row)});
          }
          committer.commit(std::move(rows));
          break;
        }
      }
    }
  }

 private:
  void kv(const std::vector<StoreCounts::KvStep>& commands, const std::string& recorded,
          const std::string& only_id) {
    for (const auto& c : commands) {
      std::vector<std::string> args;
      const std::string key = replaced(c.key, recorded, only_id);
      switch (c.kind) {
        case StoreCounts::KvStep::read:
          args = {"GET", key};
          break;
        case StoreCounts::KvStep::count:
          args = {c.up ? "INCR" : "DECR", key};
          break;
        case StoreCounts::KvStep::remove:
          args = {"DEL", key};
          break;
        case StoreCounts::KvStep::write:
          args = {"SET", key, c.value};
          if (c.expire_seconds) {
            args.emplace_back("EX");
            args.push_back(std::to_string(*c.expire_seconds));
          }
          break;
      }
      std::vector<const char*> argv;
      std::vector<std::size_t> lengths;
      for (const auto& a : args) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
      }
      redisAppendCommandArgv(redis_, static_cast<int>(argv.size()), argv.data(), lengths.data());
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
      void* reply = nullptr;
      if (redisGetReply(redis_, &reply) != REDIS_OK) throw std::runtime_error("floor redis reply");
      freeReplyObject(reply);
    }
  }

  void select(const StoreCounts::TraceStep& step) {
    std::string where;
    Params params;
    for (const Condition& c : step.conditions) {
      params.add(c.value);
      where += fmt::format("{}\"{}\" {} ${}", where.empty() ? " WHERE " : " AND ", c.column, c.op,
                           params.texts.size());
    }
    const std::string sql =
        fmt::format("SELECT {} FROM \"{}\"{} ORDER BY \"id\"{}",
                    step.columns.empty() ? "*" : quoted_list(step.columns), step.table, where,
                    step.limit ? fmt::format(" LIMIT {}", *step.limit) : "");
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
      const std::string name = fmt::format("floor{}", prepared_.size());
      PGresult* p = PQprepare(conn_, name.c_str(), sql.c_str(),
                              static_cast<int>(params.texts.size()), nullptr);
      const bool ok = PQresultStatus(p) == PGRES_COMMAND_OK;
      PQclear(p);
      if (!ok) pg_fail(conn_, "prepare " + sql);
      found = prepared_.emplace(sql, name).first;
    }
    auto values = params.pointers();
    PGresult* r = PQexecPrepared(conn_, found->second.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    PQclear(r);
    if (!ok) pg_fail(conn_, "select");
  }

  PGconn* conn_;
  redisContext* redis_ = nullptr;
  std::map<std::string, std::string> prepared_;
};

}  // namespace

FloorFigure server_floor(const std::string& redis_url, const std::string& pg_url,
                         const std::string& schema,
                         const std::vector<StoreCounts::TraceStep>& trace,
                         const std::string& recorded_id, double seconds) {
  FloorFigure best;
  for (auto [threads, committers] : {std::pair{16, 1}, {64, 1}, {16, 4}, {64, 4}}) {
    std::vector<std::unique_ptr<Committer>> committing;
    for (int c = 0; c < committers; ++c) {
      committing.push_back(std::make_unique<Committer>(pg_url, schema));
    }
    std::atomic<long> runs{0};
    std::atomic<bool> failed{false};
    std::string failure;
    std::mutex failure_mutex;
    const double start = now_seconds();
    const double end = start + seconds;
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
      clients.emplace_back([&, t, threads = threads, committers = committers] {
        Committer& committer = *committing[static_cast<std::size_t>(t % committers)];
        try {
          Client client(redis_url, pg_url, schema);
          long n = 0;
          while (now_seconds() < end && !failed) {
            // Ids of the recorded id's length, unique per thread and run.
            std::string only_id = fmt::format("f{:03d}{:06d}", t, n++);
            only_id.resize(recorded_id.size(), 'x');
            client.play(trace, recorded_id, only_id, committer);
            ++runs;
          }
        } catch (const std::exception& e) {
          std::lock_guard lock(failure_mutex);
          failure = e.what();
          failed = true;
        }
      });
    }
    for (auto& c : clients) c.join();
    if (failed) throw std::runtime_error(failure);
    const double rate = static_cast<double>(runs) / (now_seconds() - start);
    if (rate > best.runs_per_second) best = FloorFigure{rate, threads, committers};
  }
  return best;
}

}  // namespace vqflow::bench
