#include "support/cli_runner.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vqflow::test {

CliOutcome run_vqflow(const TempDir& dir, const std::string& args) {
  const std::string err_file = dir.file("stderr.txt");
  const std::string command = std::string("VQFLOW_DB=") + dir.file("vqflow.db") +
                              " VQFLOW_APPS=" + dir.file("apps") + " " + VQFLOW_BINARY + " " +
                              args + " 2>" + err_file;
  CliOutcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    outcome.out.append(buffer.data(), n);
  int status = pclose(pipe);
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(err_file);
  outcome.err.assign(std::istreambuf_iterator<char>(in), {});
  return outcome;
}

std::vector<Value> json_lines(const std::string& out) {
  std::vector<Value> lines;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) lines.push_back(parse_json(out.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

}  // namespace vqflow::test
