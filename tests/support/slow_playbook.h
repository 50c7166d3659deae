#pragma once
#include <string>
#include <vector>

#include "stores/database.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow::test {

// Puts the one-shot app "slow" in the apps folder of `dir`: its action "nap"
// notes its pid (the leader of its process group) in dir/app.pids, sleeps
// `seconds` and answers "rested".
void write_slow_app(const TempDir& dir, int seconds);

// The pids the slow app noted so far, in order.
std::vector<int> slow_app_pids(const TempDir& dir);

// A playbook S -> A -> B -> E ("crash test") whose nodes A and B nap, as a
// playbook file in `dir` (answers its path) or as a stored workflow row.
std::string write_slow_playbook(const TempDir& dir, const std::string& uuid);
Row slow_playbook_row(const std::string& uuid);

}  // namespace vqflow::test
