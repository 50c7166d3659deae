#pragma once
#include <chrono>
#include <memory>

#include "base/config.h"
#include "plugins/app_loader.h"

namespace vqflow {

// Settings of the plug-in loader that the configuration does not carry.
struct PluginOptions {
  // A persistent worker with no call in flight for this long is stopped.
  std::chrono::steady_clock::duration idle_stop = std::chrono::seconds(60);
  // Between SIGTERM and SIGKILL when a call outlives its timeout; also how long
  // the pipes of an ended plug-in may still drain.
  std::chrono::steady_clock::duration kill_grace = std::chrono::seconds(2);
};

// The app loader of the server: built-in apps first (by app_dir name, see
// builtin_apps.h), then plug-in folders <config.apps_path>/<app_dir>/ with an
// app.json and an executable main/run (the contract is in docs/apps.md).
// Calls use config.app_timeout_seconds and config.app_output_cap. Persistent
// plug-in workers are started at the first such call and watched by a thread
// of the loader (a call itself talks to its worker from the caller's own
// loop); they are stopped (calls in flight failing with AppCallError) once the
// loader and every action it handed out are gone. Safe to call from any thread.
std::shared_ptr<AppLoader> make_app_loader(const Config& config);
std::shared_ptr<AppLoader> make_app_loader(const Config& config, PluginOptions options);

}  // namespace vqflow
