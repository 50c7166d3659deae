// Spawns one app (a shell with a background child, both sleeping) the way
// the app callers do, prints "group <pgid>" and waits to be killed.
#include <unistd.h>

#include <cstdio>

#include "plugins/process_runner.h"

int main() {
  vqflow::ProcessSpec plan;
  plan.argv = {"/bin/sh", "-c", "sleep 30 & sleep 30"};
  plan.env = vqflow::minimal_environment();
  vqflow::process_detail::Spawned app = vqflow::process_detail::spawn(plan);
  std::printf("group %d\n", static_cast<int>(app.pid));
  std::fflush(stdout);
  for (;;) ::pause();
}
