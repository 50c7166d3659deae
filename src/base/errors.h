#pragma once
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace vqflow {

// Root of the failures that leave an operation as exceptions. Messages read
// "what: context: cause", e.g. "redis GET 1a2b&&x9&&result: connection refused".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A store (key-value or relational) could not do what was asked.
class StoreError : public Error {
 public:
  using Error::Error;
};

// A place in a text: line and column count from 1 (columns in characters, a
// line ends at a line feed); offset counts bytes from 0.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
  std::size_t offset = 0;
};

// A text is not JSON (or nests too deeply); the message says where, and so
// does position() when the reader raised it (absent on wrapped messages).
class JsonError : public Error {
 public:
  using Error::Error;
  JsonError(const std::string& message, TextPosition at) : Error(message), position_(at) {}
  const std::optional<TextPosition>& position() const { return position_; }

 private:
  std::optional<TextPosition> position_;
};

// The flow document or its graph cannot be walked (no "cells", a cycle, too many routes).
class FlowError : public Error {
 public:
  using Error::Error;
};

// Bad configuration or command-line input.
class ConfigError : public Error {
 public:
  using Error::Error;
};

// A value does not fit where it is used (wrong number of crontab fields, ...).
class ValueError : public Error {
 public:
  using Error::Error;
};

// The scheduler has no job with the given id; the message names the id.
class JobLookupError : public Error {
 public:
  using Error::Error;
};

// A run stopped on request between its steps or during an app call; what()
// is the stop's reason ("run cancelled by alice").
class RunStoppedError : public Error {
 public:
  using Error::Error;
};

}  // namespace vqflow

namespace vqflow {

// An app plug-in or its action cannot be loaded or found ("[程序错误] " + message).
class AppLoadError : public Error {
 public:
  using Error::Error;
};

// A failed action call. what() reads "context: message (ending)" for the
// process log; message() is the app's own words and ending() how its process
// ended, when that adds anything, which is what the node's record shows.
class AppFailure : public Error {
 public:
  // The whole text is the message (no context, no ending).
  explicit AppFailure(const std::string& text) : Error(text), message_(text) {}
  AppFailure(const std::string& context, const std::string& message, const std::string& ending)
      : Error(context + ": " + message + (ending.empty() ? "" : " (" + ending + ")")),
        message_(message),
        ending_(ending) {}
  const std::string& message() const { return message_; }
  const std::string& ending() const { return ending_; }

 private:
  std::string message_;
  std::string ending_;
};

// An action refused its arguments or their types ("[非法应用] " + message).
class AppArgumentError : public AppFailure {
 public:
  using AppFailure::AppFailure;
};

// Any other failure of an action call ("[未知错误] " + message + " (ending)").
class AppCallError : public AppFailure {
 public:
  using AppFailure::AppFailure;
};

// An action call stopped on request (its run was cancelled or interrupted);
// message() says why.
class AppStoppedError : public AppCallError {
 public:
  using AppCallError::AppCallError;
};

}  // namespace vqflow
