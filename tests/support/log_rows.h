#pragma once
#include <string>
#include <utility>

#include "stores/database.h"

namespace vqflow::test {

// A minimal execution-log row of run `only_id` (status as given).
inline Row log_row(const std::string& only_id, Value status = 0) {
  return Row{{"only_id", only_id}, {"uuid", "wf"}, {"status", std::move(status)}};
}

}  // namespace vqflow::test
