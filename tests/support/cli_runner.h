#pragma once
#include <string>
#include <vector>

#include "support/test_support.h"
#include "value/value.h"

namespace vqflow::test {

// What one run of the vqflow binary gave.
struct CliOutcome {
  int exit_code = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the vqflow binary with `args` (a shell text) on the SQLite file and the
// apps folder of `dir`.
CliOutcome run_vqflow(const TempDir& dir, const std::string& args);

// Each non-empty line of `out`, parsed as JSON.
std::vector<Value> json_lines(const std::string& out);

}  // namespace vqflow::test
