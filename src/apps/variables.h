#pragma once
#include "context/run_state.h"
#include "stores/database.h"
#include "value/value.h"

namespace vqflow::apps {

// Builds the run's variable tables: stages the actions of FOR and IF nodes and
// every node's "text" from the node settings `controller_var`, reads the local
// definitions `local_var` into run.local_var_data and the enabled global
// variables of the database into run.global_var_data (see variable_tables.h).
// Throws JsonError or ValueError for settings or definitions that cannot be
// read, StoreError when a store fails (a full stage that cannot be sent
// included) or an "action" has no stored form.
// `global_rows`, when given, are those rows as read already (on the loop).
void make_var(RunState& run, const Value& local_var, const Value& controller_var,
              const std::vector<Row>* global_rows = nullptr);

// The rows make_var reads the global variables from, read through the loop's store.
awaitable<std::vector<Row>> read_global_rows(RunState& run);

}  // namespace vqflow::apps
