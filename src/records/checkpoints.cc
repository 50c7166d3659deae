#include "records/checkpoints.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/errors.h"
#include "base/utilities.h"
#include "records/run_records.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow::records {

namespace {

const char* const k_table = "checkpoints";

long long seq_of(const Row& row) {
  const Value& seq = row.value("seq", Value());
  if (!seq.is_number_integer()) throw ValueError("checkpoint row without an integer \"seq\"");
  return seq.get<long long>();
}

}  // namespace

Row checkpoint_row(const std::string& only_id, long long seq, const NodeCheckpoint& checkpoint,
                   const std::string& now) {
  Value outcome = Value::object();
  outcome["status"] = checkpoint.status;
  outcome["result"] = checkpoint.result;
  Value writes = Value::array();
  for (const KvWrite& write : checkpoint.writes) {
    writes.push_back(Value::array({write.key, write.value}));
  }
  Row row = Row::object();
  row["only_id"] = only_id;
  row["seq"] = seq;
  row["node"] = checkpoint.node;
  row["outcome"] = json_text(outcome, false);
  row["writes"] = json_text(writes, false);
  row["create_time"] = now;
  return row;
}

NodeCheckpoint checkpoint_of(const Row& row) {
  const long long seq = row.is_object() ? seq_of(row) : 0;
  auto fault = [seq](const char* what) {
    return ValueError(fmt::format("checkpoint {}: {}", seq, what));
  };
  const Value& outcome_text = row.value("outcome", Value());
  const Value& writes_text = row.value("writes", Value());
  if (!outcome_text.is_string() || !writes_text.is_string())
    throw fault("outcome or writes missing");
  std::optional<Value> outcome = try_parse_json(outcome_text.get_ref<const std::string&>());
  std::optional<Value> writes = try_parse_json(writes_text.get_ref<const std::string&>());
  if (!outcome || !outcome->is_object() || !outcome->contains("status") ||
      !(*outcome)["result"].is_string()) {
    throw fault("outcome is not {\"status\", \"result\"}");
  }
  if (!writes || !writes->is_array()) throw fault("writes is not a list");
  NodeCheckpoint out;
  const Value& node = row.value("node", Value());
  out.node = node.is_null() ? "" : text_form(node);
  out.status = (*outcome)["status"];
  out.result = (*outcome)["result"].get<std::string>();
  for (const Value& write : *writes) {
    if (!write.is_array() || write.size() != 2 || !write[0].is_string() || !write[1].is_string()) {
      throw fault("a write is not [key, value]");
    }
    out.writes.push_back(KvWrite{write[0].get<std::string>(), write[1].get<std::string>(), {}});
  }
  return out;
}

awaitable<void> store_checkpoint(RunState& run, NodeCheckpoint checkpoint) {
  const long long seq = ++run.checkpoints;
  return store_record(
      &run, k_table,
      checkpoint_row(run.only_id, seq, checkpoint, Time::get_date_time(*run.services()->clock)));
}

awaitable<void> store_start_settings(RunState& run, const Value& settings) {
  Row row = Row::object();
  row["only_id"] = run.only_id;
  row["seq"] = 0;
  row["node"] = "";
  row["outcome"] = settings.is_null() ? Value() : Value(json_text(settings, false));
  row["writes"] = "[]";
  row["create_time"] = Time::get_date_time(*run.services()->clock);
  return store_record(&run, k_table, std::move(row));
}

StoredCheckpoints load_checkpoints(Database& db, const std::string& only_id) {
  std::vector<Row> rows = db.table(k_table).where("only_id", only_id).get();
  // By sequence; of two rows of one sequence number the later one counts.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return seq_of(a) < seq_of(b); });
  StoredCheckpoints out;
  long long last = 0;
  for (const Row& row : rows) {
    const long long seq = seq_of(row);
    if (seq == 0) {
      const Value& settings = row.value("outcome", Value());
      if (settings.is_string()) out.settings = parse_json(settings.get_ref<const std::string&>());
      continue;
    }
    if (seq == last) {
      out.calls.back() = checkpoint_of(row);
    } else if (seq == last + 1) {
      out.calls.push_back(checkpoint_of(row));
    } else {
      break;  // a gap: what follows it cannot be answered in order
    }
    last = seq;
  }
  return out;
}

void drop_checkpoints(Database& db, const std::string& only_id, long long seq) {
  db.table(k_table).where("only_id", only_id).where("seq", ">=", seq).remove();
}

}  // namespace vqflow::records
