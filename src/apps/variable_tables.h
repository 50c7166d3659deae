#pragma once
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "stores/database.h"
#include "value/value.h"

namespace vqflow::apps {

// The rules that turn a playbook's texts and rows into a run's variables. No I/O.

// One run-scoped write of a node setting: key (node id + "&&" + only_id + "&&" +
// field) and stored bytes.
struct SettingWrite {
  std::string key;
  std::string value;
};

// The writes of the node settings `controller_var`, in order, and why they
// stopped early (null when they did not).
struct SettingWrites {
  std::vector<SettingWrite> writes;
  std::exception_ptr fault;
};

// The writes of the node settings: for every member but the timer node's, in
// document order, the "action" of a FOR or IF controller (in `for_list` or
// `if_list`), then the "text". A member whose "text" is missing or has no stored
// form writes no text; a controller without a storable "action" stops the
// writes there (fault: ValueError, or StoreError for a value without stored
// form). Nothing when the text is "none", or empty or "{}" once every U+0020 is
// removed. Throws JsonError or ValueError for a text that cannot be read (then
// nothing is written).
SettingWrites setting_writes(const Value& controller_var, const std::string& only_id,
                             const std::optional<std::string>& timer_app,
                             const std::vector<std::string>& for_list,
                             const std::vector<std::string>& if_list);

// The local variable table of the definitions `local_var` (a JSON list of
// {"key", "value"}; later keys win; values in text form). Absent when the text is
// skipped ("none", or empty or "[]" once every U+0020 is removed) or defines no
// variable. Throws JsonError or ValueError for definitions that cannot be read.
std::optional<Value> local_variable_table(const Value& local_var);

// The global variable table of the enabled `Variablen` rows: text form of "key"
// to text form of "value", later rows winning. Null when there is no row.
Value global_variable_table(const std::vector<Row>& rows);

}  // namespace vqflow::apps
