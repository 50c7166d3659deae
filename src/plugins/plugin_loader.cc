#include "plugins/plugin_loader.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "base/errors.h"
#include "base/text.h"
#include "plugins/app_path.h"
#include "plugins/builtin_apps.h"
#include "plugins/plugin_loader_manifest.h"
#include "plugins/plugin_loader_persistent.h"
#include "plugins/process_runner.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

constexpr std::size_t k_max_manifest_bytes = 1u << 20;
constexpr std::size_t k_max_message_line = 2000;

std::chrono::steady_clock::duration timeout_of(const Config& config) {
  double seconds = config.app_timeout_seconds;
  if (!(seconds > 0)) seconds = 0.001;
  if (seconds > 365.0 * 24 * 3600) seconds = 365.0 * 24 * 3600;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

// What identifies a file's version: device, inode, size and modification time.
std::string stamp_of(const struct stat& st) {
  return fmt::format("{}:{}:{}:{}.{}", st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                     st.st_mtim.tv_nsec);
}

std::string stderr_hint(const std::string& err) {
  std::string line = last_line(err);
  if (line.size() > k_max_message_line) line = line.substr(line.size() - k_max_message_line);
  return line;
}

// How one-shot runs turn into results (kept apart from the I/O so that it can
// be read and tested on its own).
Value interpret_one_shot(const std::string& context, const ProcessResult& result,
                         const ProcessSpec& plan) {
  if (result.stopped) throw AppStoppedError(context, result.stop_reason, "");
  if (result.timed_out || result.output_exceeded)
    throw AppCallError(context, describe_ending(result, plan), "");
  if (result.exited && result.exit_code == 2) {
    std::string line = stderr_hint(result.err);
    throw AppArgumentError(context, line.empty() ? "exit status 2" : line, "");
  }
  if (!result.exited || result.exit_code != 0) {
    // The app's last words first; how it ended only when they say it.
    std::string line = stderr_hint(result.err);
    if (line.empty()) throw AppCallError(context, describe_ending(result, plan), "");
    throw AppCallError(context, line, describe_ending(result, plan));
  }
  if (result.out.find_first_not_of(" \t\r\n") == std::string::npos)
    throw AppCallError(context, "no result on standard output", "");
  try {
    return parse_json(result.out);
  } catch (const JsonError& e) {
    throw AppCallError(context, std::string("the result is not JSON: ") + e.what(), "");
  }
}

// The environment entry that hands a one-shot app its call's key (an
// environment cannot hold NUL bytes).
std::string idempotency_variable(const std::string& key) {
  return "VQFLOW_IDEMPOTENCY_KEY=" + without_bytes(key, std::string_view("\0", 1));
}

struct PluginCallSettings {
  std::chrono::steady_clock::duration timeout;
  std::chrono::steady_clock::duration kill_grace;
  std::size_t output_cap;
};

// `main/run <action>` once per call.
class OneShotAction : public AppAction {
 public:
  OneShotAction(std::string context, ActionSpec plan, std::string folder, std::string action,
                PluginCallSettings settings)
      : context_(std::move(context)),
        spec_(std::move(plan)),
        folder_(std::move(folder)),
        action_(std::move(action)),
        settings_(settings) {}

  boost::asio::awaitable<Value> call(NamedArguments args, CallControl control) override {
    check_arguments(context_, spec_, args);
    ProcessSpec process;
    process.argv = {folder_ + "/main/run", action_};
    process.cwd = folder_;
    process.env = minimal_environment();
    if (!control.idempotency_key.empty())
      process.env.push_back(idempotency_variable(control.idempotency_key));
    process.stop = std::move(control.stop);
    process.stdin_data = json_text(arguments_object(args));
    process.timeout = settings_.timeout;
    process.kill_grace = settings_.kill_grace;
    process.output_cap = settings_.output_cap;
    ProcessResult result;
    try {
      result = co_await run_process(process);
    } catch (const ProcessError& e) {
      throw AppCallError(context_, e.what(), "");
    }
    co_return interpret_one_shot(context_, result, process);
  }

 private:
  std::string context_;
  ActionSpec spec_;
  std::string folder_;
  std::string action_;
  PluginCallSettings settings_;
};

// A call handed to the long-lived worker of the app.
class PersistentAction : public AppAction {
 public:
  PersistentAction(std::shared_ptr<WorkerHost> host, ActionSpec plan, WorkerHost::Call base)
      : host_(std::move(host)),
        spec_(std::move(plan)),
        base_(std::make_shared<const WorkerHost::Call>(std::move(base))) {}

  boost::asio::awaitable<Value> call(NamedArguments args, CallControl control) override {
    check_arguments(base_->context, spec_, args);
    co_return co_await host_->call(base_, arguments_object(args), std::move(control));
  }

 private:
  std::shared_ptr<WorkerHost> host_;
  ActionSpec spec_;
  std::shared_ptr<const WorkerHost::Call> base_;
};

// Plug-ins start in their own folder, so a relative apps folder is made
// absolute first (against the working directory vqflow was started in).
std::string absolute_folder(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

class PluginLoader : public AppLoader {
 public:
  PluginLoader(const Config& config, PluginOptions options)
      : apps_path_(absolute_folder(config.apps_path.empty() ? "." : config.apps_path)),
        options_(options),
        settings_{timeout_of(config), options.kill_grace, config.app_output_cap} {}

  std::shared_ptr<AppAction> load(const std::string& app_dir, const std::string& action) override {
    if (auto builtin = load_builtin_action(app_dir, action)) return builtin;
    if (!is_plain_app_dir(app_dir))
      throw AppLoadError(fmt::format(
          "app {}: not a plain folder name (letters, digits, '_', '-', '.'; not starting with '.')",
          printable_name(app_dir)));
    const std::string app = printable_name(app_dir);
    if (!is_valid_action_name(action))
      throw AppLoadError(
          fmt::format("app {}: invalid action name {}", app, printable_name(action)));

    const std::string folder = apps_path_ + "/" + app_dir;
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw AppLoadError(fmt::format("app {}: no app folder {}", app, folder));

    auto manifest = manifest_of(app_dir, folder);

    const std::string program = folder + "/main/run";
    struct stat program_st;
    if (::stat(program.c_str(), &program_st) != 0)
      throw AppLoadError(fmt::format("app {}: plug-in {}: {}", app, program, std::strerror(errno)));
    if (!S_ISREG(program_st.st_mode))
      throw AppLoadError(fmt::format("app {}: plug-in {} is not a file", app, program));
    if (::access(program.c_str(), X_OK) != 0)
      throw AppLoadError(fmt::format("app {}: plug-in {} is not executable", app, program));

    auto found = manifest.first->actions.find(action);
    if (found == manifest.first->actions.end())
      throw AppLoadError(
          fmt::format("app {}: app.json offers no action {}", app, printable_name(action)));

    const std::string context = call_context(app_dir, action);
    if (!manifest.first->persistent)
      return std::make_shared<OneShotAction>(context, found->second, folder, action, settings_);

    WorkerHost::Call base;
    base.app_key = folder;
    base.stamp = manifest.second + "|" + stamp_of(program_st);
    base.folder = folder;
    base.program = program;
    base.context = context;
    base.action_json = json_text(Value(action));
    base.timeout = settings_.timeout;
    base.output_cap = settings_.output_cap;
    return std::make_shared<PersistentAction>(host(), found->second, std::move(base));
  }

 private:
  struct CachedManifest {
    std::string stamp;
    std::shared_ptr<const AppManifest> manifest;
  };

  // The parsed app.json and its stamp; parsed again only when the file changed.
  std::pair<std::shared_ptr<const AppManifest>, std::string> manifest_of(
      const std::string& app_dir, const std::string& folder) {
    const std::string path = folder + "/app.json";
    const std::string app = printable_name(app_dir);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
      throw AppLoadError(fmt::format("app {}: {}: {}", app, path, std::strerror(errno)));
    if (!S_ISREG(st.st_mode))
      throw AppLoadError(fmt::format("app {}: {} is not a file", app, path));
    const std::string stamp = stamp_of(st);
    {
      std::lock_guard lock(mutex_);
      auto cached = manifests_.find(app_dir);
      if (cached != manifests_.end() && cached->second.stamp == stamp)
        return {cached->second.manifest, stamp};
    }
    if (static_cast<std::size_t>(st.st_size) > k_max_manifest_bytes)
      throw AppLoadError(
          fmt::format("app {}: {} is larger than {} bytes", app, path, k_max_manifest_bytes));
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file && !file.eof())
      throw AppLoadError(fmt::format("app {}: {}: cannot be read", app, path));
    auto manifest = std::make_shared<const AppManifest>(parse_app_manifest(text.str(), app_dir));
    std::lock_guard lock(mutex_);
    manifests_[app_dir] = CachedManifest{stamp, manifest};
    return {manifest, stamp};
  }

  std::shared_ptr<WorkerHost> host() {
    std::lock_guard lock(mutex_);
    if (!host_) host_ = std::make_shared<WorkerHost>(options_);
    return host_;
  }

  std::string apps_path_;
  PluginOptions options_;
  PluginCallSettings settings_;
  std::mutex mutex_;
  std::unordered_map<std::string, CachedManifest> manifests_;
  std::shared_ptr<WorkerHost> host_;
};

}  // namespace

std::shared_ptr<AppLoader> make_app_loader(const Config& config) {
  PluginOptions options;
  options.idle_stop = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(config.app_idle_seconds));
  return make_app_loader(config, options);
}

std::shared_ptr<AppLoader> make_app_loader(const Config& config, PluginOptions options) {
  return std::make_shared<PluginLoader>(config, options);
}

}  // namespace vqflow
