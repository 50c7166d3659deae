#pragma once
#include <sys/types.h>

namespace vqflow {

// Makes sure no app outlives this process, even one killed by SIGKILL. At the
// first watch() a small guard process is forked (detached, so it is nobody's
// child here) that ignores SIGINT, SIGTERM and SIGHUP and reads "+pgid" and
// "-pgid" lines from a pipe whose only writer is this process. When the pipe
// ends, because this process is gone however it went, the guard SIGKILLs
// every process group still registered and exits. A process that leaves its
// group (setsid, setpgid) is not covered. Safe from any thread; failures
// (no guard could be started, the guard died) leave the apps unguarded,
// never fail the call that spawned them.

// Registers the process group `pgid` (an app just spawned as its leader).
void watch_app_group(pid_t pgid);

// Unregisters `pgid`; call it before reaping the leader, while the group id
// cannot yet be reused.
void unwatch_app_group(pid_t pgid);

}  // namespace vqflow
