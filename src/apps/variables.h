#pragma once
#include "context/run_state.h"
#include "value/value.h"

namespace vqflow::apps {

// Builds the run's variable tables: stages the actions of FOR and IF nodes and
// every node's "text" from the node settings `controller_var`, reads the local
// definitions `local_var` into run.local_var_data and the enabled global
// variables of the database into run.global_var_data (see variable_tables.h).
// Throws JsonError or ValueError for settings or definitions that cannot be
// read, StoreError when a store fails (a full stage that cannot be sent
// included) or an "action" has no stored form.
void make_var(RunState& run, const Value& local_var, const Value& controller_var);

}  // namespace vqflow::apps
