#include "run/run_recovery.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <boost/asio/steady_timer.hpp>

#include "base/process_identity.h"
#include "base/utilities.h"
#include "records/checkpoints.h"
#include "records/run_records.h"
#include "run/interrupt_rules.h"
#include "run/run_states.h"

namespace vqflow {

namespace {

const char* const k_end_text = "剧本执行结束";

// The playbook row of a claimed run: what its records name. (Its members start
// as null values, which allocate nothing; the check cannot see that.)
struct ClaimedPlaybook {  // NOLINT(bugprone-exception-escape)
  Value name;
  Value remarks;
  Value end_app;
  bool runnable = false;  // stored and enabled
};

ClaimedPlaybook claimed_playbook(Services& services, const std::string& uuid) {
  auto row = services.db->table("workflow")
                 .select({"name", "remarks", "end_app", "status"})
                 .where("uuid", uuid)
                 .first();
  ClaimedPlaybook out;
  if (!row) return out;
  out.name = (*row)["name"];
  out.remarks = (*row)["remarks"];
  out.end_app = (*row)["end_app"];
  const Value& status = (*row)["status"];
  out.runnable = !(status.is_number_integer() && status.get<long long>() == 1);
  return out;
}

Row failure_record(const std::string& only_id, const std::string& uuid, const Value& name,
                   const std::string& reason, const std::string& now) {
  const std::string text = "[运行错误] " + reason;
  return records::build_log_record(only_id, uuid, "", name, text, 1, "<span>" + text + "</span>",
                                   "", now);
}

// Writes the closing records of one claimed run and marks it interrupted.
void close_interrupted(Services& services, const Row& run, const ClaimedPlaybook& playbook,
                       const std::string& reason, const std::string& now) {
  const std::string only_id = stored_text(run["only_id"]);
  const std::string uuid = stored_text(run["uuid"]);
  std::vector<TableRow> rows;
  // A run killed after its end record but before its closed state keeps the
  // records it has: only what is missing is written.
  const bool ended = services.db->table("logs")
                         .select({"only_id"})
                         .where("only_id", only_id)
                         .where("result", k_end_text)
                         .first()
                         .has_value();
  if (!ended) {
    rows.push_back({"logs", failure_record(only_id, uuid, playbook.name, reason, now)});
    rows.push_back({"logs", records::build_log_record(
                                only_id, uuid, playbook.end_app, "结束", k_end_text, 0,
                                std::string("<span>") + k_end_text + "</span>", "", now)});
  }
  if (!services.db->table("report").select({"report_no"}).where("report_no", only_id).first()) {
    rows.push_back(
        {"report", records::build_report(only_id, playbook.name, playbook.remarks, now)});
  }
  long long failed =
      run["failed_steps"].is_number_integer() ? run["failed_steps"].get<long long>() : 0;
  rows.push_back({"runs", closed_row(only_id, "interrupted", failed, reason, now)});
  services.db->insert_rows(rows);
  records::drop_checkpoints(*services.db, only_id);
  // The counters the run raised when it started; never below 0.
  KvStore& kv = *services.kv;
  const std::vector<KvCount> steps = {{"exec_sum", false}, {uuid + "&&exec_sum", false}};
  const std::vector<long long> values = kv.count_many(steps);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (values[i] < 0) kv.set(steps[i].key, "0");
  }
}

// Records that a claimed run is walked again and hands it to this process as
// running, in one transaction. Its counters stay raised: the new walk lowers
// them when it closes, so a crash anywhere lowers them at most once.
void mark_resumed(Services& services, const Row& run, const ClaimedPlaybook& playbook,
                  long long attempt, const std::string& now) {
  const std::string only_id = stored_text(run["only_id"]);
  const std::string owner = stored_text(run["owner"]);
  Row state = Row::object();
  state["only_id"] = only_id;
  state["state"] = "running";
  state["owner"] = services.owner;
  state["attempt"] = attempt;
  state["update_time"] = now;
  services.db->insert_rows({{"logs", failure_record(only_id, stored_text(run["uuid"]),
                                                    playbook.name, resume_reason(owner), now)},
                            {"runs", std::move(state)}});
}

long long attempt_of(const Row& run) {
  const Value& attempt = run["attempt"];
  return attempt.is_number_integer() ? attempt.get<long long>() : 1;
}

bool waited_for_audit(Database& db, const std::string& only_id) {
  return !db.table("audit").select({"only_id"}).where("only_id", only_id).get(1).empty();
}

}  // namespace

std::string lease_key(const std::string& owner) { return "owner&&" + owner; }

void renew_lease(Services& services) {
  services.kv->set(lease_key(services.owner), "1", static_cast<int>(k_lease_length.count()));
}

std::string cancel_reason(const std::string& user) { return "run cancelled by " + user; }

std::string interrupt_reason(const std::string& owner) {
  return "run interrupted: " + owner + " stopped";
}

std::string resume_reason(const std::string& owner) {
  return interrupt_reason(owner) + ", resuming";
}

std::string last_attempt_reason(const std::string& owner, long long attempt) {
  return fmt::format("{}, not resumed: {} of {} walks made", interrupt_reason(owner), attempt,
                     k_max_attempts);
}

std::string state_of_stop(const std::string& reason) {
  return reason.rfind("run cancelled by ", 0) == 0 ? "cancelled" : "interrupted";
}

bool owner_is_gone(Services& services, const std::string& owner) {
  if (owner == services.owner) return false;
  if (auto who = ProcessIdentity::parse(owner)) {
    if (auto alive = process_alive(*who)) return !*alive;
  }
  return !services.kv->exists(lease_key(owner));
}

std::vector<RepairedRun> recover_runs(const std::shared_ptr<Services>& shared,
                                      const RunFinished& on_walked) {
  Services& services = *shared;
  std::vector<RepairedRun> repaired;
  // "repairing" rows are claims of a repairer that may itself have died.
  for (const char* state : {"running", "repairing"}) {
    for (const Row& run :
         services.db->table("runs")
             .select({"only_id", "uuid", "owner", "failed_steps", "on_interrupt", "attempt"})
             .where("state", state)
             .get()) {
      const std::string owner = stored_text(run["owner"]);
      if (!owner_is_gone(services, owner)) continue;
      const std::string now = Time::get_date_time(*services.clock);
      Row claim = Row::object();
      claim["state"] = "repairing";
      claim["owner"] = services.owner;
      claim["update_time"] = now;
      const long long claimed = services.db->table("runs")
                                    .where("only_id", run["only_id"])
                                    .where("state", state)
                                    .where("owner", owner)
                                    .update(claim);
      if (claimed != 1) continue;  // another process repairs it
      RepairedRun out{stored_text(run["only_id"]), stored_text(run["uuid"]), owner};
      const ClaimedPlaybook playbook = claimed_playbook(services, out.uuid);
      const std::string on_interrupt = stored_text(run["on_interrupt"]);
      const long long attempt = attempt_of(run);
      if (playbook.runnable &&
          walks_again(on_interrupt, attempt, waited_for_audit(*services.db, out.only_id))) {
        mark_resumed(services, run, playbook, attempt + 1, now);
        out.resumed = true;
        out.attempt = attempt + 1;
        out.reason = resume_reason(owner);
        walk_again(shared, out.uuid, out.only_id, out.attempt, on_walked);
      } else {
        const bool bounded = on_interrupt == "resume" && attempt >= k_max_attempts;
        out.reason = bounded ? last_attempt_reason(owner, attempt) : interrupt_reason(owner);
        close_interrupted(services, run, playbook, out.reason, now);
      }
      spdlog::warn("run {} of playbook {} repaired: {}", out.only_id, out.uuid, out.reason);
      repaired.push_back(std::move(out));
    }
  }
  return repaired;
}

struct RunKeeper::State {
  std::shared_ptr<Services> services;
  bool recover = false;
  RunFinished on_walked;
  boost::asio::steady_timer timer;
  bool stopped = false;

  State(std::shared_ptr<Services> s, bool r, RunFinished w)
      : services(std::move(s)), recover(r), on_walked(std::move(w)), timer(services->executor) {}

  // One turn of the keeper; `tick` counts seconds.
  void turn(long long tick) {
    Services& s = *services;
    try {
      if (tick % k_lease_renewal.count() == 0) renew_lease(s);
      if (s.active->size() > 0) {
        for (const Row& run : s.db->table("runs")
                                  .select({"only_id", "cancel_by"})
                                  .where("owner", s.owner)
                                  .where("state", "running")
                                  .where("cancel_by", "!=", "")
                                  .get()) {
          s.active->stop(stored_text(run["only_id"]), cancel_reason(stored_text(run["cancel_by"])));
        }
      }
      if (recover && tick % 5 == 0) recover_runs(services, on_walked);
    } catch (const std::exception& e) {
      spdlog::error("run keeper: {}", e.what());
    }
  }

  static void schedule(const std::shared_ptr<State>& self, long long tick) {
    if (self->stopped) return;
    self->timer.expires_after(std::chrono::seconds(1));
    self->timer.async_wait([self, tick](const boost::system::error_code& error) {
      if (error || self->stopped) return;
      self->turn(tick);
      schedule(self, tick + 1);
    });
  }
};

RunKeeper::RunKeeper(std::shared_ptr<Services> services, bool recover, RunFinished on_walked)
    : state_(std::make_shared<State>(std::move(services), recover, std::move(on_walked))) {}

RunKeeper::~RunKeeper() {
  // Cancelling a timer throws only when the loop's reactor is gone; then
  // there is nothing left to stop.
  try {
    stop();
  } catch (...) {
  }
}

std::vector<RepairedRun> RunKeeper::start() {
  renew_lease(*state_->services);
  std::vector<RepairedRun> repaired = recover_runs(state_->services, state_->on_walked);
  State::schedule(state_, 1);
  return repaired;
}

void RunKeeper::stop() {
  state_->stopped = true;
  state_->timer.cancel();
}

}  // namespace vqflow
