#pragma once
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vqflow::test {

// Collects the process log (spdlog's default logger) while it lives.
class LogCapture {
 public:
  using Line = std::pair<spdlog::level::level_enum, std::string>;

  LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const {
    std::lock_guard lock(sink_->lines_mutex);
    return sink_->lines;
  }
  std::vector<std::string> at_level(spdlog::level::level_enum level) const {
    std::vector<std::string> out;
    for (const auto& [l, text] : lines()) {
      if (l == level) out.push_back(text);
    }
    return out;
  }

 private:
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    void sink_it_(const spdlog::details::log_msg& msg) override {
      std::lock_guard lock(lines_mutex);
      lines.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
    mutable std::mutex lines_mutex;
    std::vector<Line> lines;
  };
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace vqflow::test
