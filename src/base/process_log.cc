#include "base/process_log.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <vector>

#include "base/errors.h"

namespace vqflow {

void init_process_log(const std::optional<std::string>& file, bool errors_only_on_stderr) {
  std::vector<spdlog::sink_ptr> sinks;
  sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
  if (errors_only_on_stderr) sinks.back()->set_level(spdlog::level::err);
  if (file) {
    try {
      sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(*file));
    } catch (const spdlog::spdlog_ex& e) {
      throw ConfigError("process log " + *file + ": " + e.what() +
                        ": check that the folder exists and is writable");
    }
  }
  auto logger = std::make_shared<spdlog::logger>("vqflow", sinks.begin(), sinks.end());
  logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
  logger->set_level(spdlog::level::info);
  logger->flush_on(spdlog::level::info);
  spdlog::set_default_logger(std::move(logger));
}

}  // namespace vqflow
