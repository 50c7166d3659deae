#pragma once
#include <optional>
#include <string>

#include "value/value.h"

namespace vqflow {

// The text a node's result is stored as: the JSON text of values that pass the
// JSON test (so a text that is itself JSON is encoded once more, as a JSON
// string), the text form of everything else. `ensure_ascii` escapes non-ASCII
// characters in the JSON text.
std::string result_text(const Value& result, bool ensure_ascii);

namespace apps {

// What is stored and logged for one invocation result {"status", "result",
// "args", "html"} of a node. No I/O.
struct CapturedResult {
  std::string text;  // stored under "&&result"; the log record's result
  Value status;      // the invocation's "status", unconverted
  Value html;        // the log record's html
};

// Input, webhook and timer nodes: non-ASCII characters stay as they are in the
// JSON text, and the html is the result text.
CapturedResult capture_delivered_result(const Value& outcome);
// App nodes: non-ASCII characters are escaped in the JSON text; the html is the
// invocation's "html", or the result text when that is empty in text form.
CapturedResult capture_app_result(const Value& outcome);

// Removes the "data" member "app" (a plug-in marker an earlier invocation may
// have left) when it is true. Entries that are absent, not maps, or without a
// map under "data" are left as they are.
void drop_plugin_marker(std::optional<Value>& app_info);

}  // namespace apps
}  // namespace vqflow
