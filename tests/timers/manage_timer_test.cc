#include "timers/manage_timer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/errors.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"
#include "support/test_support.h"
#include "timers/timer_rpc.h"

namespace vqflow {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const date::time_zone* utc() { return named_time_zone("UTC"); }

// Node settings with one timer node `node` holding `settings`.
std::string controller_data_with(const std::string& node, const Value& settings) {
  Value data = Value::object();
  data["start-node"] = {{"name", "start"}};
  data[node] = settings;
  return data.dump();
}

class ManageTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = test::make_test_services(dir_);
    service_ = make_service();
  }
  void TearDown() override { vq_timer.scheduler.reset(); }

  std::unique_ptr<ManageTimer> make_service() {
    SchedulerSetup setup;
    setup.zone = utc();
    setup.clock = clock_;
    setup.jitter_seed = 3;
    setup.max_instances = 3;
    setup.run_playbook = [this](const Value& uuid, const std::string&, JobDone done) {
      runs_.push_back(uuid);
      done();
    };
    return std::make_unique<ManageTimer>(services_->db, setup);
  }

  Row stored_row(const std::string& timer_uuid, const std::string& uuid, const std::string& type,
                 const std::string& interval_type, const Value& time, int status,
                 const std::string& start_date = "", const std::string& end_date = "",
                 int jitter = 0) {
    Row row = Row::object();
    row["timer_uuid"] = timer_uuid;
    row["uuid"] = uuid;
    row["type"] = type;
    row["interval_type"] = interval_type;
    row["time"] = time;
    row["start_date"] = start_date;
    row["end_date"] = end_date;
    row["jitter"] = jitter;
    row["status"] = status;
    row["update_time"] = "2024-01-01 00:00:00";
    row["create_time"] = "2024-01-01 00:00:00";
    return row;
  }
  // Creates and resumes one 10-second interval timer per id (playbook "pb-" + id).
  void start_running_ten_second_timers(const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
      service_->exposed_exec(
          "pb-" + id, id, "",
          controller_data_with(id,
                               {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 10}}));
      service_->exposed_resume(id);
    }
  }
  void insert(const Row& row) { services_->db->table("timer").insert(row); }
  std::optional<Row> row_of(const std::string& timer_uuid) {
    return services_->db->table("timer").where("timer_uuid", timer_uuid).first();
  }
  std::size_t row_count() { return services_->db->table("timer").get().size(); }
  std::optional<JobInfo> job(const std::string& id) { return vq_timer.scheduler->get_job(id); }
  void advance(std::chrono::seconds by) {
    clock_->advance(by);
    vq_timer.scheduler->run_due_jobs();
  }
  // What Time::get_date_time reads on the manual clock: local time.
  std::string local_now() { return format_local_time(now_of(*clock_), local_time_zone()); }

  test::TempDir dir_;
  std::shared_ptr<Services> services_;
  std::unique_ptr<ManageTimer> service_;
  std::shared_ptr<test::ManualClock> clock_ = test::ManualClock::make(
      parse_date_time("2024-01-01 12:00:00", named_time_zone("UTC"), "now"));
  std::vector<Value> runs_;
};

// --- timer settings ---

TEST(TimerSettingsTest, ADateTimerGetsEveryKeyWithDefaults) {
  Value config =
      timer_settings(controller_data_with(
                         "tm", {{"type", "date"}, {"time", "2024-05-01 10:00:00"}, {"name", "x"}}),
                     "tm");
  EXPECT_EQ(config.dump(),
            R"({"type":"date","interval_type":"","time":"2024-05-01 10:00:00","start_date":"",)"
            R"("start_date_x":null,"end_date":"","end_date_x":null,"jitter":0})");
}

TEST(TimerSettingsTest, JitterBecomesAWholeNumber) {
  auto jitter_of = [](const Value& jitter) {
    return timer_settings(
        controller_data_with("tm", {{"type", "cron"}, {"time", "* * * * *"}, {"jitter", jitter}}),
        "tm")["jitter"];
  };
  EXPECT_EQ(jitter_of("5"), 5);
  EXPECT_EQ(jitter_of(" 7 "), 7);
  EXPECT_EQ(jitter_of(2.9), 2);
  EXPECT_EQ(jitter_of(-2.9), -2);
  EXPECT_EQ(jitter_of(4), 4);
  for (const Value& bad :
       {Value("2.5"), Value("five"), Value::array({1}), Value::object(), Value()}) {
    EXPECT_THROW(jitter_of(bad), ValueError) << bad.dump();
  }
}

TEST(TimerSettingsTest, BoundsKeepBothForms) {
  Value config = timer_settings(controller_data_with("tm", {{"type", "interval"},
                                                            {"interval_type", "minutes"},
                                                            {"time", "10"},
                                                            {"start_date", ""},
                                                            {"end_date", "2030-01-01 00:00:00"}}),
                                "tm");
  EXPECT_EQ(config["start_date"], "");
  EXPECT_EQ(config["start_date_x"], "");  // the empty text, not absence
  EXPECT_EQ(config["end_date"], "2030-01-01 00:00:00");
  EXPECT_EQ(config["end_date_x"], "2030-01-01 00:00:00");
  EXPECT_EQ(config["time"], "10");  // not converted
  // An unknown kind still fills every key.
  Value odd = timer_settings(controller_data_with("tm", {{"type", "yearly"}, {"time", 1}}), "tm");
  EXPECT_EQ(odd.size(), 8u);
  EXPECT_EQ(odd["type"], "yearly");
}

TEST(TimerSettingsTest, RefusesWhatCannotBeRead) {
  const std::vector<std::pair<Value, Value>> cases = {
      {"not json", "tm"},
      {"", "tm"},
      {"[1, 2]", "tm"},
      {controller_data_with("other", {{"type", "date"}, {"time", "x"}}), "tm"},
      {controller_data_with("tm", {{"time", "x"}}), "tm"},
      {controller_data_with("tm", {{"type", "date"}}), "tm"},
      {controller_data_with("tm", "a text"), "tm"},
      {controller_data_with("tm", {{"type", "date"}, {"time", "x"}}), nullptr},
      {nullptr, "tm"},
  };
  for (const auto& [data, node] : cases) {
    EXPECT_THROW(timer_settings(data, node), Error) << data.dump() << " " << node.dump();
  }
}

TEST_F(ManageTimerTest, LoadConfigKeepsTheOldConfigOnFailure) {
  service_->timer_app = "tm";
  service_->controller_data =
      controller_data_with("tm", {{"type", "date"}, {"time", "2024-05-01"}});
  service_->load_config();
  Value before = service_->config;
  service_->controller_data =
      controller_data_with("tm", {{"type", "date"}, {"time", "x"}, {"jitter", "2.5"}});
  EXPECT_THROW(service_->load_config(), ValueError);
  EXPECT_EQ(service_->config, before);
}

// --- restore at start ---

TEST_F(ManageTimerTest, StartWithNoRowsRunsTheSchedulerSilently) {
  test::LogCapture log;
  service_->start();
  EXPECT_TRUE(vq_timer.scheduler->running());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ManageTimerTest, StartRestoresRowsInOrderAndKeepsTheirState) {
  insert(stored_row("t1", "pb1", "interval", "minutes", "10", 0));
  insert(stored_row("t2", "pb2", "cron", "", "*/5 * * * *", 1));
  insert(stored_row("t3", "pb3", "date", "", "2024-06-01 08:00:00", 1));
  test::LogCapture log;
  service_->start();
  EXPECT_THAT(log.at_level(spdlog::level::info),
              ElementsAre("============== 任务调度恢复中 =================", "t1 interval 10",
                          "t2 cron */5 * * * *", "t3 date 2024-06-01 08:00:00",
                          "============== 任务调度恢复完成 ================="));
  EXPECT_TRUE(log.at_level(spdlog::level::err).empty());
  EXPECT_EQ(job("t1")->trigger, "interval[0:10:00]");
  EXPECT_TRUE(job("t1")->paused);
  EXPECT_FALSE(job("t2")->paused);
  EXPECT_EQ(format_local_time(*job("t2")->next_run_time, utc()), "2024-01-01 12:00:00");
  EXPECT_EQ(format_local_time(*job("t3")->next_run_time, utc()), "2024-06-01 08:00:00");
  // An empty start_date means no bound: the interval counts from now; the row keeps "".
  EXPECT_EQ(row_of("t1")->at("start_date"), "");
}

TEST_F(ManageTimerTest, ARowThatCannotBeRestoredIsLoggedAndTheRestStillRun) {
  insert(stored_row("bad-count", "pb", "interval", "minutes", "ten", 1));
  insert(stored_row("good-1", "pb1", "interval", "seconds", 30, 1));
  insert(stored_row("bad-cron", "pb", "cron", "", "61 * * * *", 1));
  insert(stored_row("bad-date", "pb", "date", "", "next tuesday", 0));
  insert(stored_row("bad-type", "pb", "weekly", "", "x", 0));
  insert(stored_row("bad-unit", "pb", "interval", "months", "1", 0));
  insert(stored_row("bad-bound", "pb", "cron", "", "* * * * *", 1, "someday"));
  insert(stored_row("good-2", "pb2", "cron", "", "0 * * * *", 0));
  test::LogCapture log;
  service_->start();
  auto errors = log.at_level(spdlog::level::err);
  ASSERT_EQ(errors.size(), 6u);
  EXPECT_THAT(errors[0],
              HasSubstr("timer bad-count not restored: time: 'ten' is not a whole number"));
  EXPECT_THAT(errors[1], HasSubstr("timer bad-cron not restored: minute \"61\""));
  EXPECT_THAT(errors[2], HasSubstr("timer bad-date not restored: run_date: \"next tuesday\""));
  EXPECT_THAT(errors[3], HasSubstr("timer bad-type not restored: type 'weekly' is not one of"));
  EXPECT_THAT(errors[4],
              HasSubstr("timer bad-unit not restored: interval_type 'months' is not one of"));
  EXPECT_THAT(errors[5], HasSubstr("timer bad-bound not restored: start_date: \"someday\""));
  EXPECT_FALSE(job("good-1")->paused);
  EXPECT_TRUE(job("good-2")->paused);
  EXPECT_EQ(vq_timer.get_jobs().size(), 2u);
  auto info = log.at_level(spdlog::level::info);
  EXPECT_EQ(info.front(), "============== 任务调度恢复中 =================");
  EXPECT_EQ(info.back(), "============== 任务调度恢复完成 =================");
  advance(30s);
  EXPECT_EQ(runs_, std::vector<Value>{"pb1"});
}

TEST_F(ManageTimerTest, StatusOtherThanZeroLeavesTheJobRunning) {
  insert(stored_row("t1", "pb", "interval", "seconds", "5", 2));
  insert(stored_row("t2", "pb", "interval", "seconds", "5", 0));
  service_->start();
  EXPECT_FALSE(job("t1")->paused);
  EXPECT_TRUE(job("t2")->paused);
}

TEST_F(ManageTimerTest, RestartRestoresPausedAndRunningTimers) {
  service_->start();
  auto settings = [](const char* seconds) {
    return Value{{"type", "interval"}, {"interval_type", "seconds"}, {"time", seconds}};
  };
  service_->exposed_exec("pb-a", "ta", "", controller_data_with("ta", settings("10")));
  service_->exposed_exec("pb-b", "tb", "", controller_data_with("tb", settings("20")));
  service_->exposed_exec("pb-c", "tc", "", controller_data_with("tc", settings("30")));
  service_->exposed_resume("ta");
  service_->exposed_resume("tc");
  service_->exposed_pause("tc");

  // The process ends; a new one starts from the table alone.
  vq_timer.scheduler.reset();
  auto restarted = make_service();
  restarted->start();
  EXPECT_FALSE(job("ta")->paused);
  EXPECT_TRUE(job("tb")->paused);
  EXPECT_TRUE(job("tc")->paused);
  EXPECT_EQ(job("tb")->trigger, "interval[0:00:20]");
  advance(10s);
  EXPECT_EQ(runs_, std::vector<Value>{"pb-a"});
}

// --- add and update ---

TEST_F(ManageTimerTest, AddTimerInsertsAPausedRow) {
  service_->start();
  service_->exposed_exec(
      "pb", "tm", "",
      controller_data_with("tm", {{"type", "date"}, {"time", "2024-01-01 12:00:30"}}));
  auto row = row_of("tm");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("uuid"), "pb");
  EXPECT_EQ(row->at("type"), "date");
  EXPECT_EQ(row->at("interval_type"), "");
  EXPECT_EQ(row->at("time"), "2024-01-01 12:00:30");
  EXPECT_EQ(row->at("start_date"), "");
  EXPECT_EQ(row->at("end_date"), "");
  EXPECT_EQ(text_form(row->at("jitter")), "0");
  EXPECT_EQ(text_form(row->at("status")), "0");
  EXPECT_EQ(row->at("create_time"), local_now());
  EXPECT_EQ(row->at("update_time"), local_now());
  EXPECT_TRUE(job("tm")->paused);
  advance(30s);
  EXPECT_TRUE(runs_.empty());
}

TEST_F(ManageTimerTest, RowChangesAreDatedByTheServicesClock) {
  service_->start();
  service_->exposed_exec("pb", "tm", "",
                         controller_data_with("tm", {{"type", "cron"}, {"time", "* * * * *"}}));
  const std::string created = local_now();
  advance(90s);
  service_->exposed_resume("tm");
  EXPECT_EQ(row_of("tm")->at("update_time"), local_now());
  EXPECT_EQ(row_of("tm")->at("create_time"), created);
  EXPECT_NE(created, local_now());
}

TEST_F(ManageTimerTest, AddTimerOfAnUnknownKindFailsAndWritesNoRow) {
  service_->start();
  EXPECT_THROW(service_->exposed_exec(
                   "pb", "tm", "", controller_data_with("tm", {{"type", "yearly"}, {"time", "1"}})),
               ValueError);
  EXPECT_EQ(row_count(), 0u);
}

TEST_F(ManageTimerTest, UpdateTimerReaddsAMissingCronJobThatThenRuns) {
  service_->start();
  insert(stored_row("tm", "pb", "cron", "", "0 0 * * *", 0));  // e.g. its restore failed
  service_->exposed_exec("pb", "tm", "tm",
                         controller_data_with("tm", {{"type", "cron"}, {"time", "*/1 * * * *"}}));
  EXPECT_FALSE(job("tm")->paused);
  EXPECT_EQ(row_of("tm")->at("time"), "*/1 * * * *");
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "0");
  advance(60s);
  EXPECT_EQ(runs_, std::vector<Value>{"pb"});
}

TEST_F(ManageTimerTest, UpdateTimerWithSixFieldsLeavesRowAndJob) {
  service_->start();
  service_->exposed_exec("pb", "tm", "",
                         controller_data_with("tm", {{"type", "cron"}, {"time", "0 0 * * *"}}));
  try {
    service_->exposed_exec(
        "pb", "tm", "tm",
        controller_data_with("tm", {{"type", "cron"}, {"time", "0 0 * * * 2024"}}));
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Wrong number of fields; got 6, expected 5");
  }
  EXPECT_EQ(row_of("tm")->at("time"), "0 0 * * *");
  EXPECT_THAT(job("tm")->trigger, HasSubstr("minute='0', hour='0'"));
}

TEST_F(ManageTimerTest, UpdateTimerReportsTheRealFaultNotATakenId) {
  service_->start();
  service_->exposed_exec(
      "pb", "tm", "",
      controller_data_with("tm",
                           {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 5}}));
  try {
    service_->exposed_exec("pb", "tm", "tm",
                           controller_data_with("tm", {{"type", "interval"},
                                                       {"interval_type", "seconds"},
                                                       {"time", 5},
                                                       {"end_date", "whenever"}}));
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_THAT(e.what(), HasSubstr("end_date: \"whenever\""));
  }
  EXPECT_EQ(row_of("tm")->at("end_date"), "");
}

TEST_F(ManageTimerTest, UpdateTimerOfAnUnknownKindOnlyChangesTheRow) {
  service_->start();
  service_->exposed_exec(
      "pb", "tm", "",
      controller_data_with("tm",
                           {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 5}}));
  service_->exposed_exec(
      "pb", "tm", "tm",
      controller_data_with(
          "tm", {{"type", "yearly"}, {"time", "x"}, {"jitter", 4}, {"start_date", "2024-01-01"}}));
  EXPECT_EQ(job("tm")->trigger, "interval[0:00:05]");
  auto row = row_of("tm");
  EXPECT_EQ(row->at("type"), "yearly");
  EXPECT_EQ(row->at("time"), "x");
  EXPECT_EQ(row->at("start_date"), "2024-01-01");
  EXPECT_EQ(text_form(row->at("jitter")), "4");
}

TEST_F(ManageTimerTest, UpdateKeepsIdStatusAndPausedState) {
  service_->start();
  service_->exposed_exec(
      "pb", "tm", "",
      controller_data_with("tm",
                           {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 5}}));
  service_->exposed_exec(
      "pb", "tm", "tm",
      controller_data_with("tm",
                           {{"type", "interval"}, {"interval_type", "minutes"}, {"time", "2"}}));
  EXPECT_EQ(vq_timer.get_jobs().size(), 1u);
  EXPECT_EQ(job("tm")->trigger, "interval[0:02:00]");
  EXPECT_TRUE(job("tm")->paused);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "0");
  EXPECT_EQ(row_of("tm")->at("interval_type"), "minutes");
}

// --- exec decision table ---

TEST_F(ManageTimerTest, ExecWithBothIdsEmptyDoesNothing) {
  service_->start();
  service_->exposed_exec("pb", "", "", "not even json");
  EXPECT_EQ(row_count(), 0u);
  EXPECT_TRUE(vq_timer.get_jobs().empty());
}

TEST_F(ManageTimerTest, ExecWithANewTimerNodeReplacesThePreviousTimer) {
  service_->start();
  service_->exposed_exec("pb", "old", "",
                         controller_data_with("old", {{"type", "cron"}, {"time", "* * * * *"}}));
  service_->exposed_exec("pb", "new", "old",
                         controller_data_with("new", {{"type", "cron"}, {"time", "0 * * * *"}}));
  EXPECT_FALSE(row_of("old"));
  EXPECT_FALSE(vq_timer.scheduler->has_job("old"));
  ASSERT_TRUE(row_of("new"));
  EXPECT_TRUE(job("new")->paused);
  EXPECT_EQ(text_form(row_of("new")->at("status")), "0");
}

TEST_F(ManageTimerTest, ExecWithoutATimerNodeRemovesThePreviousOne) {
  service_->start();
  service_->exposed_exec("pb", "old", "",
                         controller_data_with("old", {{"type", "cron"}, {"time", "* * * * *"}}));
  service_->exposed_exec("pb", "", "old", "{}");
  EXPECT_EQ(row_count(), 0u);
  EXPECT_TRUE(vq_timer.get_jobs().empty());
}

TEST_F(ManageTimerTest, ExecWithAnEmptyCurrentAndAbsentPreviousTakesTheRemovalPath) {
  service_->start();
  insert(stored_row("None", "pb", "cron", "", "* * * * *", 0));  // what an absent id would read as
  service_->exposed_exec("pb", "", nullptr, "{}");
  EXPECT_TRUE(row_of("None"));  // the absent id matches no row
}

TEST_F(ManageTimerTest, RemoveWithoutArgumentRemovesThePreviousIdOfTheLastExec) {
  service_->start();
  service_->exposed_exec("pb", "tm", "",
                         controller_data_with("tm", {{"type", "cron"}, {"time", "* * * * *"}}));
  service_->exposed_exec("pb", "", "", "{}");  // sets w_timer_app to ""
  service_->exposed_remove();
  EXPECT_TRUE(row_of("tm"));  // "" names no timer
  service_->w_timer_app = "tm";
  service_->exposed_remove();
  EXPECT_FALSE(row_of("tm"));
  EXPECT_FALSE(vq_timer.scheduler->has_job("tm"));
  EXPECT_NO_THROW(service_->exposed_remove("never-there"));
}

// --- pause and resume ---

TEST_F(ManageTimerTest, PauseOfAMissingJobFailsAndLeavesTheRow) {
  service_->start();
  insert(stored_row("tm", "pb", "cron", "", "* * * * *", 1));
  EXPECT_THROW(service_->exposed_pause("tm"), JobLookupError);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "1");
}

TEST_F(ManageTimerTest, PauseAndResumeChangeJobAndRow) {
  service_->start();
  service_->exposed_exec(
      "pb", "tm", "",
      controller_data_with("tm",
                           {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 10}}));
  service_->exposed_resume("tm");
  EXPECT_FALSE(job("tm")->paused);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "1");
  advance(10s);
  EXPECT_EQ(runs_.size(), 1u);
  // Without an id the last exec's previous timer id ("" here) is used: no such job.
  EXPECT_THROW(service_->exposed_pause(), JobLookupError);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "1");
  service_->w_timer_app = "tm";
  service_->exposed_pause();
  EXPECT_TRUE(job("tm")->paused);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "0");
}

TEST_F(ManageTimerTest, ResumeAllRunsEveryTimerWhoseRowSaysRunning) {
  service_->start();
  start_running_ten_second_timers({"t1", "t2"});
  service_->exposed_pause("t1");
  service_->exposed_resume_all();
  EXPECT_EQ(text_form(row_of("t1")->at("status")), "1");
  EXPECT_FALSE(job("t1")->paused);
  advance(10s);
  EXPECT_EQ(runs_.size(), 2u);
}

TEST_F(ManageTimerTest, ResumingOneTimerAfterPauseAllRunsItAlone) {
  service_->start();
  start_running_ten_second_timers({"t1", "t2"});
  service_->exposed_pause_all();
  EXPECT_EQ(text_form(row_of("t1")->at("status")), "0");
  EXPECT_EQ(text_form(row_of("t2")->at("status")), "0");
  advance(10s);
  EXPECT_TRUE(runs_.empty());
  service_->exposed_resume("t2");  // at 12:00:10, one of its fire times
  advance(10s);
  EXPECT_EQ(runs_, (std::vector<Value>{"pb-t2", "pb-t2"}));
  EXPECT_EQ(text_form(row_of("t2")->at("status")), "1");
}

TEST_F(ManageTimerTest, OperationsBeforeStartFailAtTheScheduler) {
  insert(stored_row("tm", "pb", "cron", "", "* * * * *", 1));
  EXPECT_THROW(service_->exposed_pause("tm"), Error);
  EXPECT_EQ(text_form(row_of("tm")->at("status")), "1");
  EXPECT_THROW(service_->exposed_get_jobs(), Error);
  EXPECT_THROW(service_->exposed_remove("tm"), Error);
  EXPECT_FALSE(row_of("tm"));  // the row deletion comes first
}

// --- the remote methods ---

TEST_F(ManageTimerTest, RemoteMethodsTakeParamsByName) {
  service_->start();
  RpcRegistry registry;
  register_timer_methods(registry, *service_);
  auto call = [&](const std::string& name, const Value& params) {
    return (*registry.find(name))(params);
  };
  Value settings = {{"type", "interval"}, {"interval_type", "seconds"}, {"time", 10}};
  EXPECT_EQ(call("exec", {{"uuid", "pb"},
                          {"timer_app", "tm"},
                          {"w_timer_app", ""},
                          {"controller_data", controller_data_with("tm", settings)}}),
            Value(nullptr));
  EXPECT_EQ(
      call("get_jobs", Value::object()).dump(),
      R"([{"id":"tm","uuid":"pb","trigger":"interval[0:00:10]","next_run_time":null,"paused":true}])");
  call("resume", {{"uuid", "tm"}});
  EXPECT_EQ(call("get_jobs", Value::object())[0]["next_run_time"], "2024-01-01 12:00:10");
  call("pause_all", Value::object());
  call("resume_all", Value::object());
  call("pause", {{"uuid", "tm"}});
  call("remove", {{"timer_app", "tm"}});
  EXPECT_EQ(call("get_jobs", Value::object()), Value::array());
  try {
    call("pause", {{"id", "tm"}});
    ADD_FAILURE();
  } catch (const RpcError& e) {
    EXPECT_EQ(e.code(), -32602);
    EXPECT_THAT(e.what(), HasSubstr("unknown parameter \"id\""));
  }
  EXPECT_THAT(registry.names(), ElementsAre("exec", "get_jobs", "pause", "pause_all", "remove",
                                            "resume", "resume_all"));
}

// --- a failed insert ---

// Delegates to a real database but refuses every insert.
class RefusingInserts : public Database {
 public:
  explicit RefusingInserts(std::shared_ptr<Database> inner) : inner_(std::move(inner)) {}
  std::vector<Row> select(const Query& q, std::optional<long long> limit) override {
    return inner_->select(q, limit);
  }
  long long insert(const std::string&, const Row&) override {
    throw StoreError("insert: disk full");
  }
  long long update(const Query& q, const Row& c) override { return inner_->update(q, c); }
  long long remove(const Query& q) override { return inner_->remove(q); }
  void init_schema() override { inner_->init_schema(); }
  std::string describe() const override { return inner_->describe(); }
  std::optional<std::string> sqlite_path() const override { return inner_->sqlite_path(); }

 private:
  std::shared_ptr<Database> inner_;
};

TEST_F(ManageTimerTest, AFailedInsertLeavesNoJobBehind) {
  SchedulerSetup setup;
  setup.zone = utc();
  setup.clock = clock_;
  ManageTimer service(std::make_shared<RefusingInserts>(services_->db), setup);
  service.start();
  Value data = controller_data_with("tm", {{"type", "cron"}, {"time", "* * * * *"}});
  EXPECT_THROW(service.exposed_exec("pb", "tm", "", data), StoreError);
  EXPECT_FALSE(vq_timer.scheduler->has_job("tm"));
}

}  // namespace
}  // namespace vqflow
