#pragma once
#include <optional>
#include <string>

namespace vqflow {

// Names a process across hosts and pid reuse: "host:pid:starttime", where
// starttime is the process's start in clock ticks since boot (/proc/PID/stat).
struct ProcessIdentity {
  std::string host;
  long pid = 0;
  unsigned long long start_ticks = 0;

  std::string text() const;
  // Absent when `text` is not of that form.
  static std::optional<ProcessIdentity> parse(const std::string& text);
};

// This process.
const ProcessIdentity& this_process();

// The start time of process `pid` on this host; absent when there is none.
std::optional<unsigned long long> process_start_ticks(long pid);

// Whether the process `who` is alive: true or false for a process of this
// host (a reused pid with another start time counts as gone), absent for a
// process on another host (only its lease can tell).
std::optional<bool> process_alive(const ProcessIdentity& who);

}  // namespace vqflow
