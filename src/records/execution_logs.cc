#include <spdlog/spdlog.h>

#include "base/utilities.h"
#include "records/escape_decoding.h"
#include "records/run_records.h"
#include "stores/database.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow::records {

namespace {

// Replaces `value` by its text form with the escapes decoded; leaves it as it
// was when decoding fails.
bool decode_in_place(Value& value) {
  try {
    value = decode_escapes(text_form(value));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Stores a log record, then writes its process-log line and live message.
awaitable<void> publish_log(RunState* run, Value record) {
  // Stored before it is logged or sent: a client never sees a record that a
  // crash could still lose.
  std::string table = "logs";
  const bool logged = spdlog::should_log(spdlog::level::info);
  if (!logged && !run->socket) {
    co_await store_record(run, std::move(table), std::move(record));
    co_return;
  }
  Value row = record;
  co_await store_record(run, std::move(table), std::move(row));

  if (logged) {
    spdlog::info("{} {} {} {} {} {} {}", text_form(record["only_id"]), text_form(record["uuid"]),
                 text_form(record["app_uuid"]), text_form(record["app_name"]),
                 text_form(record["result"]), text_form(record["status"]),
                 text_form(record["create_time"]));
  }

  if (run->socket) {
    try {
      Value message = Value::object();
      message["method"] = "execute_log";
      message["data"] = std::move(record);
      run->socket->send(json_text(message));
    } catch (...) {
      // The client simply misses this record; it is stored and logged.
    }
  }
}

}  // namespace

Value build_log_record(const std::string& only_id, const Value& uuid, const Value& app_uuid,
                       const Value& app_name, const Value& result, const Value& status,
                       const Value& html, const Value& args, const std::string& create_time) {
  Value shown_result = result;
  Value shown_html = html;
  const bool escaped = result.is_string() ? has_unicode_escape(result.get_ref<const std::string&>())
                                          : has_unicode_escape(text_form(result));
  if (escaped) {
    // Escapes written by apps are shown decoded; html follows only when result decoded.
    if (decode_in_place(shown_result)) decode_in_place(shown_html);
  }

  Value record = Value::object();
  record.get_ref<Value::object_t&>().reserve(9);
  record["only_id"] = only_id;
  record["uuid"] = uuid;
  record["app_uuid"] = app_uuid;
  record["app_name"] = app_name;
  record["result"] = std::move(shown_result);
  record["status"] = status;
  record["html"] = std::move(shown_html);
  record["args"] = args;
  record["create_time"] = create_time;
  return record;
}

awaitable<void> add_execute_logs(RunState& run, const Value& uuid, const Value& app_uuid,
                                 const Value& app_name, const Value& result, const Value& status,
                                 const Value& html, const Value& args) {
  const std::string status_text = text_form(status);
  if (status_text == "1" || status_text == "2") ++run.failed_steps;
  return publish_log(
      &run, build_log_record(run.only_id, uuid, app_uuid, app_name, result, status, html, args,
                             Time::get_date_time(*run.services()->clock)));
}

awaitable<void> add_failure(RunState& run, const std::string& uuid, const Value& app_uuid,
                            const Value& app_name, const std::string& text) {
  return add_execute_logs(run, uuid, app_uuid, app_name, text, 1, "<span>" + text + "</span>");
}

}  // namespace vqflow::records
