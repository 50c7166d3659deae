#include "apps/reference_expansion.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_set>

#include "base/errors.h"
#include "base/regex.h"
#include "base/text.h"
#include "base/utf8.h"
#include "value/member_path.h"

namespace vqflow {

const char* global_reference_pattern() { return R"(@\{\w*\})"; }
const char* local_reference_pattern() { return R"(@\[\w*\])"; }
const char* app_reference_pattern() { return R"(@\(\w*-\w*-\w*-\w*-\w*.\w.*?\))"; }

namespace {

const char* const k_add_local = "请添加局部变量";
const char* const k_add_global = "请添加全局变量";
const char* const k_no_local = "未找到局部变量";
const char* const k_no_global = "未找到全局变量";
const char* const k_no_app = "未找到 APP 变量";
const char* const k_not_json = "非 JSON 格式变量";

// Backstops only: these patterns scan in linear time (see find_app_references),
// and one app reference may legitimately span a long line.
constexpr RegexLimits k_limits{50'000'000, 10'000, 64 * 1024};

const Regex& global_pattern() {
  static const Regex pattern(global_reference_pattern(), k_limits);
  return pattern;
}
const Regex& local_pattern() {
  static const Regex pattern(local_reference_pattern(), k_limits);
  return pattern;
}
const Regex& app_pattern() {
  static const Regex pattern(app_reference_pattern(), k_limits);
  return pattern;
}

// Distinct texts in order of first appearance. A text holds few references,
// so the usual list is checked by looking back; long ones use a set.
std::vector<std::string> distinct(std::vector<std::string> matches) {
  constexpr std::size_t k_look_back = 32;
  if (matches.size() <= k_look_back) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      if (std::find(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(kept),
                    matches[i]) == matches.begin() + static_cast<std::ptrdiff_t>(kept)) {
        if (kept != i) matches[kept] = std::move(matches[i]);
        ++kept;
      }
    }
    matches.resize(kept);
    return matches;
  }
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (std::string& m : matches) {
    if (seen.insert(m).second) out.push_back(std::move(m));
  }
  return out;
}

// `scratch` is room the caller keeps between calls; it ends up holding the old text.
void replace_all_in_place(std::string& text, const std::string& from, std::string_view to,
                          std::size_t limit, std::string& scratch) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + from.size())) {
    ++count;
  }
  if (count == 0) return;
  if (to.size() > from.size()) {
    const std::size_t growth = to.size() - from.size();
    if (growth > (limit - std::min(limit, text.size())) / count) {
      throw ValueError(fmt::format(
          "variable references: the expanded text would exceed {} bytes ({} occurrences of {} "
          "bytes)",
          limit, count, to.size()));
    }
  }
  std::string& out = scratch;
  out.clear();
  out.reserve(text.size() - count * from.size() + count * to.size());
  std::size_t start = 0;
  for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, start)) {
    out.append(text, start, pos - start);
    out.append(to);
    start = pos + from.size();
  }
  out.append(text, start, std::string::npos);
  text.swap(out);
}

// Outcome of resolving one app reference: the value, or a status-1 message.
struct Resolved {
  std::optional<Value> value;
  std::string message;
};

Resolved fail(std::string message) { return {std::nullopt, std::move(message)}; }

// Walks the steps from `root`; copies only the value reached. `path_text`
// names the steps in the messages.
Resolved walk(const Value& root, const std::vector<PathStep>& steps, const std::string& path_text) {
  PathOutcome reached = walk_member_path(root, steps);
  switch (reached.fault) {
    case PathFault::none:
      return {std::move(reached.value), {}};
    case PathFault::no_index:
      return fail("未找到 JSON Index : " + path_text);
    case PathFault::no_key:
      return fail("未找到 JSON KEY : " + path_text);
    case PathFault::not_addressable:
      break;
  }
  return fail(k_no_app);
}

// What one stored key holds, read once per expansion.
struct StoredEntry {
  std::optional<std::string> text;  // absent: key missing
  bool parsed_tried = false;
  std::optional<Value> document;  // stored_json_document of the text
};

class AppResolver {
 public:
  explicit AppResolver(const AppValueReader& read) : read_(read) {}

  // Store failures propagate; stored bytes that are not UTF-8 text count as
  // "not found", like a missing key.
  Resolved resolve(const std::string& reference) {
    const std::string inner = remove_all(remove_all(reference, "@("), ")");
    const std::vector<std::string> pieces = split(inner, ".");
    if (pieces.size() < 2) return fail(k_no_app);
    const std::string& node_id = pieces[0];
    const std::vector<std::string> items = split(pieces[1], "!>");
    const std::string& field = items[0];

    std::vector<PathStep> steps;
    std::string path_text;
    for (std::size_t i = 1; i < items.size(); ++i) {
      steps.push_back(bang_path_step(items[i]));
      if (i > 1) path_text += ",";
      path_text += steps.back().key;
    }

    StoredEntry& entry = entry_for(node_id, field);
    if (!entry.text) return fail(k_no_app);
    if (steps.empty()) return {Value(*entry.text), {}};
    if (!entry.parsed_tried) {
      entry.parsed_tried = true;
      entry.document = stored_json_document(*entry.text);
    }
    if (!entry.document) return fail(k_not_json);
    return walk(*entry.document, steps, path_text);
  }

 private:
  StoredEntry& entry_for(const std::string& node_id, const std::string& field) {
    auto key = std::make_pair(node_id, field);
    auto it = entries_.find(key);
    if (it != entries_.end()) return it->second;
    StoredEntry entry;
    if (std::optional<std::string> stored = read_(node_id, field)) {
      if (is_valid_utf8(*stored)) entry.text = std::move(*stored);
    }
    return entries_.emplace(std::move(key), std::move(entry)).first->second;
  }

  const AppValueReader& read_;
  std::map<std::pair<std::string, std::string>, StoredEntry> entries_;
};

// The text form of table[name]; a text member is answered without a copy
// (`holder` keeps the text form of any other value).
std::optional<std::string_view> table_lookup(const Value& table, const std::string& name,
                                             std::string& holder) {
  if (!table.is_object()) return std::nullopt;
  auto it = table.find(name);
  if (it == table.end()) return std::nullopt;
  if (it->is_string()) return std::string_view(it->get_ref<const std::string&>());
  holder = text_form(*it);
  return std::string_view(holder);
}

// The name inside "@{name}" or "@[name]".
std::string reference_name(const std::string& reference) {
  return reference.substr(2, reference.size() - 3);
}

}  // namespace

namespace {

bool is_ascii_word(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::size_t word_run_end(std::string_view text, std::size_t at) {
  while (at < text.size() && is_ascii_word(text[at])) ++at;
  return at;
}

// "@" open \w* close, scanned by hand: on ASCII text \w is [A-Za-z0-9_] and
// the pattern cannot backtrack, so this finds exactly the pattern's matches
// without the cost of the matcher.
std::vector<std::string> find_bracketed(std::string_view text, char open, char close,
                                        const Regex& pattern) {
  if (!is_ascii(text)) return pattern.find_all(text);
  std::vector<std::string> out;
  std::size_t at = text.find('@');
  if (at != std::string_view::npos) out.reserve(8);
  while (at != std::string_view::npos) {
    if (at + 1 < text.size() && text[at + 1] == open) {
      const std::size_t end = word_run_end(text, at + 2);
      if (end < text.size() && text[end] == close) {
        out.emplace_back(text.substr(at, end + 1 - at));
        at = text.find('@', end + 1);
        continue;
      }
    }
    at = text.find('@', at + 1);
  }
  return out;
}

// The app pattern on one ASCII line: "@(" then four word runs each ended by
// "-", a word run W, any character, a word character, and the shortest stretch
// up to ")". The runs before "-" cannot give anything back; W can, and the
// longest W that works decides where the match ends: W in full when the
// character after it is followed by a word character and a ")" comes later,
// otherwise (W of two or more) the first ")" after W.
void scan_app_line(std::string_view line, std::vector<std::string>& out) {
  std::size_t at = line.find("@(");
  while (at != std::string_view::npos) {
    std::size_t p = at + 2;
    bool prefix = true;
    for (int dash = 0; dash < 4 && prefix; ++dash) {
      p = word_run_end(line, p);
      if (p < line.size() && line[p] == '-') {
        ++p;
      } else {
        prefix = false;
      }
    }
    std::size_t end = std::string_view::npos;
    if (prefix) {
      const std::size_t run_end = word_run_end(line, p);
      if (run_end + 1 < line.size() && is_ascii_word(line[run_end + 1])) {
        end = line.find(')', run_end + 2);
      }
      if (end == std::string_view::npos && run_end - p >= 2) end = line.find(')', run_end);
    }
    if (end != std::string_view::npos) {
      out.emplace_back(line.substr(at, end + 1 - at));
      at = line.find("@(", end + 1);
    } else {
      at = line.find("@(", at + 1);
    }
  }
}

}  // namespace

std::vector<std::string> find_global_references(std::string_view text) {
  return find_bracketed(text, '{', '}', global_pattern());
}

std::vector<std::string> find_local_references(std::string_view text) {
  return find_bracketed(text, '[', ']', local_pattern());
}

std::vector<std::string> find_app_references(std::string_view text) {
  // A match never crosses a line feed and ends at a ")": searching each line
  // only up to its last ")" gives the same matches, and keeps a line full of
  // unterminated "@(" from costing quadratic time.
  std::vector<std::string> out;
  std::size_t line_start = 0;
  while (true) {
    const std::size_t newline = text.find('\n', line_start);
    const std::size_t line_end = newline == std::string_view::npos ? text.size() : newline;
    std::string_view line = text.substr(line_start, line_end - line_start);
    const std::size_t last_paren = line.rfind(')');
    if (last_paren != std::string_view::npos && line.find("@(") < last_paren) {
      const std::string_view searched = line.substr(0, last_paren + 1);
      if (is_ascii(searched)) {
        scan_app_line(searched, out);
      } else {
        for (std::string& match : app_pattern().find_all(searched)) out.push_back(std::move(match));
      }
    }
    if (newline == std::string_view::npos) break;
    line_start = newline + 1;
  }
  return out;
}

std::optional<Value> stored_json_document(const std::string& text) {
  // A text that passes the JSON test parses.
  std::optional<Value> document = is_json(Value(text)) ? try_parse_json(text) : std::nullopt;
  if (document && document->is_string()) {
    // Results that were JSON texts are stored encoded once more.
    if (std::optional<Value> inner = try_parse_json(document->get_ref<const std::string&>())) {
      document = std::move(*inner);
    }
  }
  return document;
}

Expansion expand_references(std::string_view text, const Value& local_var_data,
                            const Value& global_var_data, const AppValueReader& read_app_value) {
  if (text.find('@') == std::string_view::npos) return {0, std::string(text)};

  const std::vector<std::string> globals = distinct(find_global_references(text));
  const std::vector<std::string> locals = distinct(find_local_references(text));
  const std::vector<std::string> apps = distinct(find_app_references(text));

  if (!locals.empty() && local_var_data.is_null()) return {1, k_add_local};
  if (!globals.empty() && global_var_data.is_null()) return {1, k_add_global};

  const std::size_t limit = std::max(k_max_expanded_bytes, text.size());
  std::string current(text);
  std::string holder, scratch;
  for (const std::string& reference : locals) {
    auto value = table_lookup(local_var_data, reference_name(reference), holder);
    if (!value) return {1, k_no_local};
    replace_all_in_place(current, reference, *value, limit, scratch);
  }
  for (const std::string& reference : globals) {
    auto value = table_lookup(global_var_data, reference_name(reference), holder);
    if (!value) return {1, k_no_global};
    replace_all_in_place(current, reference, *value, limit, scratch);
  }
  if (apps.empty()) return {0, std::move(current)};
  AppResolver resolver(read_app_value);
  for (const std::string& reference : apps) {
    Resolved resolved = resolver.resolve(reference);
    if (!resolved.value) return {1, std::move(resolved.message)};
    replace_all_in_place(current, reference, text_form(*resolved.value), limit, scratch);
  }
  return {0, std::move(current)};
}

Expansion apps::analysis_var(RunState& run, const std::string& text) {
  AppValueReader read = [&run](const std::string& node_id, const std::string& field) {
    return run.read_kv(run.run_key(node_id, field));
  };
  return expand_references(text, run.local_var_data, run.global_var_data, read);
}

}  // namespace vqflow
