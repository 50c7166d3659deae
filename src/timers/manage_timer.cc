#include "timers/manage_timer.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <exception>

#include "base/errors.h"
#include "base/utilities.h"

namespace vqflow {

namespace {

const char* const k_table = "timer";

bool is_empty_text(const Value& value) {
  return value.is_string() && value.get_ref<const std::string&>().empty();
}

// An id argument that is present and not "", else the field it falls back on.
const Value& id_or(const Value& given, const Value& fallback) {
  return given.is_null() || is_empty_text(given) ? fallback : given;
}

// Runs `attempt`; when it fails, `fallback`. When the fallback only finds the
// id taken (the attempt failed for another reason than a missing job), the
// attempt's error is the one that says what is wrong.
template <typename Attempt, typename Fallback>
void attempt_or_add(Attempt attempt, Fallback fallback) {
  std::exception_ptr attempt_error;
  try {
    attempt();
    return;
  } catch (const std::exception&) {
    attempt_error = std::current_exception();
  }
  try {
    fallback();
  } catch (const ConflictingIdError&) {
    std::rethrow_exception(attempt_error);
  }
}

// The timer settings a row keeps, in column order.
void copy_settings(const Value& config, Row& row) {
  for (const char* column : {"type", "interval_type", "time", "start_date", "end_date", "jitter"}) {
    auto found = config.find(column);
    row[column] = found != config.end() ? *found : Value();
  }
}

}  // namespace

void check_timer_kind(const Value& type, const Value& interval_type) {
  if (type != "date" && type != "interval" && type != "cron") {
    throw ValueError(fmt::format("type {} is not one of date, interval, cron", literal_form(type)));
  }
  if (type != "interval") return;
  for (const char* unit : {"seconds", "minutes", "hours", "days", "weeks"}) {
    if (interval_type == unit) return;
  }
  if (interval_type.is_null() || is_empty_text(interval_type)) {
    throw ValueError(
        "interval_type is missing: an interval timer needs one of seconds, minutes, hours, days, "
        "weeks");
  }
  throw ValueError(
      fmt::format("interval_type {} is not one of seconds, minutes, hours, days, weeks",
                  literal_form(interval_type)));
}

long long whole_number(const Value& value, const char* field) {
  auto number = value_to_integer(value);
  if (!number)
    throw ValueError(fmt::format("{}: {} is not a whole number", field, literal_form(value)));
  return *number;
}

Value timer_settings(const Value& controller_data, const Value& timer_app) {
  Value parsed;
  if (controller_data.is_string()) {
    parsed = parse_json(controller_data.get_ref<const std::string&>());
  } else if (controller_data.is_object()) {
    parsed = controller_data;
  } else {
    throw ValueError(fmt::format("controller_data: expected a JSON object text, got {}",
                                 literal_form(controller_data)));
  }
  if (!parsed.is_object()) throw ValueError("controller_data: not a JSON object");
  auto entry =
      timer_app.is_string() ? parsed.find(timer_app.get_ref<const std::string&>()) : parsed.end();
  if (entry == parsed.end()) {
    throw ValueError(
        fmt::format("controller_data: no settings for timer node {}", literal_form(timer_app)));
  }
  const Value& settings = *entry;
  if (!settings.is_object()) {
    throw ValueError(fmt::format("controller_data: settings of timer node {} are not an object",
                                 literal_form(timer_app)));
  }
  for (const char* required : {"type", "time"}) {
    if (!settings.contains(required)) {
      throw ValueError(
          fmt::format("timer node {}: settings lack \"{}\"", literal_form(timer_app), required));
    }
  }
  auto optional = [&](const char* key) {
    return settings.contains(key) ? settings[key] : Value(nullptr);
  };
  long long jitter = 0;
  if (settings.contains("jitter")) {
    const Value& given = settings["jitter"];
    auto number = value_to_integer(given);
    if (!number)
      throw ValueError(fmt::format("jitter: {} is not a whole number", literal_form(given)));
    jitter = *number;
  }
  Value config = Value::object();
  config["type"] = settings["type"];
  config["interval_type"] =
      settings.contains("interval_type") ? settings["interval_type"] : Value("");
  config["time"] = settings["time"];
  config["start_date"] = settings.contains("start_date") ? settings["start_date"] : Value("");
  config["start_date_x"] = optional("start_date");
  config["end_date"] = settings.contains("end_date") ? settings["end_date"] : Value("");
  config["end_date_x"] = optional("end_date");
  config["jitter"] = jitter;
  return config;
}

ManageTimer::ManageTimer(std::shared_ptr<Database> db, SchedulerSetup setup)
    : db_(std::move(db)), setup_(std::move(setup)) {
  if (!setup_.clock) setup_.clock = real_clock();
}

void ManageTimer::start() {
  vq_timer.create_scheduler(setup_);
  vq_timer.start();
  auto rows = db_->table(k_table)
                  .select({"timer_uuid", "uuid", "type", "interval_type", "time", "start_date",
                           "end_date", "jitter", "status"})
                  .get();
  int count = 0;
  for (const auto& row : rows) {
    if (count == 0) spdlog::info("============== 任务调度恢复中 =================");
    try {
      restore_row(row);
      spdlog::info("{} {} {}", text_form(row.value("timer_uuid", Value())),
                   text_form(row.value("type", Value())), text_form(row.value("time", Value())));
    } catch (const std::exception& e) {
      // One bad row must not keep the timers stored after it from running.
      spdlog::error("timer {} not restored: {}", text_form(row.value("timer_uuid", Value())),
                    e.what());
    }
    ++count;
  }
  if (count > 0) spdlog::info("============== 任务调度恢复完成 =================");
}

void ManageTimer::restore_row(const Row& row) {
  auto column = [&](const char* name) { return row.value(name, Value()); };
  Value timer_uuid = column("timer_uuid");
  Value playbook = column("uuid");
  Value type = column("type");
  Value time = column("time");
  // "" in the table means unbounded.
  Value start_date = is_empty_text(column("start_date")) ? Value() : column("start_date");
  Value end_date = is_empty_text(column("end_date")) ? Value() : column("end_date");
  Value jitter = column("jitter");

  check_timer_kind(type, column("interval_type"));
  if (type == "date") {
    vq_timer.add_date(time, playbook, timer_uuid);
  } else if (type == "interval") {
    vq_timer.add_interval(column("interval_type"), whole_number(time, "time"), playbook, timer_uuid,
                          start_date, end_date, jitter);
  } else {
    vq_timer.add_cron(time, playbook, timer_uuid, start_date, end_date, jitter);
  }
  if (text_form(column("status")) == "0") vq_timer.pause(timer_uuid);
}

void ManageTimer::load_config() {
  Value settings = timer_settings(controller_data, timer_app);
  for (auto& [key, value] : settings.items()) config[key] = value;
}

void ManageTimer::register_job(bool as_update) {
  const Value type = config["type"];
  auto add = [&] {
    if (type == "date") {
      vq_timer.add_date(config["time"], uuid, timer_app);
    } else if (type == "interval") {
      vq_timer.add_interval(config["interval_type"], whole_number(config["time"], "time"), uuid,
                            timer_app, config["start_date_x"], config["end_date_x"],
                            config["jitter"]);
    } else if (type == "cron") {
      vq_timer.add_cron(config["time"], uuid, timer_app, config["start_date_x"],
                        config["end_date_x"], config["jitter"]);
    }
  };
  if (!as_update) {
    add();
    return;
  }
  if (type == "date") {
    attempt_or_add([&] { vq_timer.update_date(timer_app, config["time"]); }, add);
  } else if (type == "interval") {
    attempt_or_add(
        [&] {
          vq_timer.update_interval(timer_app, config["interval_type"],
                                   whole_number(config["time"], "time"), config["start_date_x"],
                                   config["end_date_x"], config["jitter"]);
        },
        add);
  } else if (type == "cron") {
    attempt_or_add(
        [&] {
          vq_timer.update_cron(timer_app, config["time"], config["start_date_x"],
                               config["end_date_x"], config["jitter"]);
        },
        add);
  }
}

void ManageTimer::add_timer() {
  load_config();
  // Otherwise no job is registered and the pause below fails for want of it.
  try {
    check_timer_kind(config["type"], config["interval_type"]);
  } catch (const ValueError& e) {
    throw ValueError(fmt::format("timer node {}: {}", literal_form(timer_app), e.what()));
  }
  if (uuid.is_null() || is_empty_text(uuid)) {
    // The job would fire runs of no playbook.
    throw ValueError(fmt::format("uuid (the playbook id the timer {} runs) is missing",
                                 literal_form(timer_app)));
  }
  register_job(false);
  vq_timer.pause(timer_app);
  Row row = Row::object();
  row["timer_uuid"] = timer_app;
  row["uuid"] = uuid;
  copy_settings(config, row);
  row["status"] = 0;
  row["update_time"] = Time::get_date_time(*setup_.clock);
  row["create_time"] = Time::get_date_time(*setup_.clock);
  try {
    db_->table(k_table).insert(row);
  } catch (...) {
    // A job without its row could never be added again under the same id.
    vq_timer.remove_job(timer_app);
    throw;
  }
}

void ManageTimer::update_timer() {
  load_config();
  register_job(true);
  Row changes = Row::object();
  copy_settings(config, changes);
  changes["update_time"] = Time::get_date_time(*setup_.clock);
  db_->table(k_table).where("timer_uuid", timer_app).update(changes);
}

void ManageTimer::exposed_exec(const Value& uuid_arg, const Value& timer_app_arg,
                               const Value& w_timer_app_arg, const Value& controller_data_arg) {
  uuid = uuid_arg;
  timer_app = timer_app_arg;
  w_timer_app = w_timer_app_arg;
  controller_data = controller_data_arg;

  const bool current_empty = is_empty_text(timer_app);         // absent counts as not empty
  const bool previous_empty = text_form(w_timer_app).empty();  // absent reads "None"
  if (current_empty && !previous_empty) {
    exposed_remove();
  } else if (!current_empty && !previous_empty) {
    if (timer_app == w_timer_app) {
      auto existing =
          db_->table(k_table).select({"timer_uuid"}).where("timer_uuid", timer_app).first();
      if (existing) {
        update_timer();
      } else {
        add_timer();
      }
    } else {
      exposed_remove();
      add_timer();
    }
  } else if (!current_empty && previous_empty) {
    add_timer();
  }
}

void ManageTimer::exposed_remove(const Value& timer_app_arg) {
  const Value id = id_or(timer_app_arg, w_timer_app);
  db_->table(k_table).where("timer_uuid", id).remove();
  vq_timer.remove_job(id);
}

void ManageTimer::exposed_pause(const Value& uuid_arg) {
  const Value id = id_or(uuid_arg, w_timer_app);
  vq_timer.pause(id);
  Row changes = Row::object();
  changes["status"] = 0;
  changes["update_time"] = Time::get_date_time(*setup_.clock);
  db_->table(k_table).where("timer_uuid", id).update(changes);
}

void ManageTimer::exposed_resume(const Value& uuid_arg) {
  const Value id = id_or(uuid_arg, w_timer_app);
  vq_timer.resume(id);
  // After exposed_pause_all every job is paused on its own as well, so the
  // whole scheduler can run again without waking any timer whose row says 0.
  if (vq_timer.scheduler->paused()) vq_timer.resume_all();
  Row changes = Row::object();
  changes["status"] = 1;
  changes["update_time"] = Time::get_date_time(*setup_.clock);
  db_->table(k_table).where("timer_uuid", id).update(changes);
}

void ManageTimer::exposed_pause_all() {
  vq_timer.pause_all();
  for (const auto& job : vq_timer.get_jobs()) {
    if (!job.paused) vq_timer.pause(job.id);
  }
  Row changes = Row::object();
  changes["status"] = 0;
  changes["update_time"] = Time::get_date_time(*setup_.clock);
  db_->table(k_table).where("id", "!=", 0).update(changes);
}

void ManageTimer::exposed_resume_all() {
  vq_timer.resume_all();
  // Every row is about to say 1: every job that has a row runs again, also
  // those that were paused one by one.
  auto rows = db_->table(k_table).select({"timer_uuid"}).get();
  for (const auto& row : rows) {
    const Value id = row.value("timer_uuid", Value());
    auto job = vq_timer.scheduler->get_job(text_form(id));
    if (job && job->paused) vq_timer.resume(id);
  }
  Row changes = Row::object();
  changes["status"] = 1;
  changes["update_time"] = Time::get_date_time(*setup_.clock);
  db_->table(k_table).where("id", "!=", 0).update(changes);
}

std::vector<JobInfo> ManageTimer::exposed_get_jobs() { return vq_timer.get_jobs(); }

}  // namespace vqflow
