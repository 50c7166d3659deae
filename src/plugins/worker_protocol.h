#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "value/value.h"

namespace vqflow {

// The line protocol between the host and a persistent worker: one JSON object
// a line each way. Requests are {"id":N,"action":A,"args":{...}}, with
// "key":K when the call has an idempotency key; answers are
// {"id":N,"result":R} or {"id":N,"error":E}, in any order. Plain rules on texts:
// no I/O, no threads.

// The request line for call `id`, newline included, built in one allocation.
// `action_json` is the action name as JSON text; an empty `key` is left out.
std::string request_line(std::uint64_t id, std::string_view action_json, const Value& args,
                         const std::string& key = {});

// What one line of a worker's stdout says.
struct AnswerLine {
  enum class Kind {
    blank,   // white space only: ignored
    answer,  // the answer to call `id`
    fault,   // not an answer: the worker breaks the protocol and must be stopped
  };
  Kind kind = Kind::blank;
  std::uint64_t id = 0;
  // An answer is either the "result" of a plain {"id","result"} line, ready as
  // it is, or the whole line's object, for interpret_worker_answer.
  std::optional<Value> result;
  Value envelope;
  std::string fault;  // why the worker must be stopped: "worker stopped: ..."
};

// Reads one answer line (without its newline). The usual {"id":N,"result":R}
// line is split without parsing the envelope as a document; R may nest one
// level less than k_max_json_depth.
AnswerLine read_answer_line(std::string_view line);

// Reads one answer line of a worker: the "result" member, or throws
// AppArgumentError ("error" of kind "argument") or AppCallError (any other
// "error", or neither member). `context` prefixes the messages.
Value interpret_worker_answer(Value answer, const std::string& context);

// Cuts a worker's stdout into lines of at most `line_cap` bytes, keeping the
// unfinished last line between reads. Not thread-safe: one reader at a time.
class AnswerLineSplitter {
 public:
  enum class Fed {
    ok,        // every complete line was handed on
    stopped,   // the line handler asked to stop; the lines after it wait for the next feed
    too_long,  // a line exceeds the cap: the worker must be stopped (nothing more to read)
  };

  explicit AnswerLineSplitter(std::size_t line_cap) : line_cap_(line_cap) {}

  // Takes in `bytes` and calls on_line(std::string_view) for each complete line,
  // without its newline, while it returns true. The view is valid only during
  // that call.
  template <typename OnLine>
  Fed feed(std::string_view bytes, OnLine&& on_line) {
    std::size_t from = scan_from_;
    buffer_.append(bytes);
    std::size_t start = 0;
    for (;;) {
      const std::size_t newline = buffer_.find('\n', from);
      if (newline == std::string::npos) break;
      if (newline - start > line_cap_) return Fed::too_long;
      const std::string_view line(buffer_.data() + start, newline - start);
      start = from = newline + 1;
      if (!on_line(line)) {
        buffer_.erase(0, start);
        scan_from_ = 0;
        return Fed::stopped;
      }
    }
    buffer_.erase(0, start);
    scan_from_ = buffer_.size();
    return buffer_.size() > line_cap_ ? Fed::too_long : Fed::ok;
  }

  // "worker stopped: an answer line exceeds N bytes"
  std::string too_long_message() const;

 private:
  const std::size_t line_cap_;
  std::string buffer_;         // what follows the last line handed on
  std::size_t scan_from_ = 0;  // the buffer holds no newline before this
};

}  // namespace vqflow
