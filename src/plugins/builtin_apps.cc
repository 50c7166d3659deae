#include "plugins/builtin_apps.h"

#include <fmt/format.h>
#include <locale.h>
#include <wctype.h>

#include "base/errors.h"
#include "base/regex.h"
#include "base/text.h"
#include "base/utf8.h"
#include "plugins/plugin_loader_manifest.h"
#include "value/member_path.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

using ActionFunction = Value (*)(const Value& args, const std::string& context);

struct BuiltinActionDef {
  const char* name;
  std::vector<ActionArg> args;
  ActionFunction run;
};

struct BuiltinApp {
  const char* name;
  const char* description;
  std::vector<BuiltinActionDef> actions;
};

Value answer(int status, Value result) {
  Value out = Value::object();
  out["status"] = status;
  out["result"] = std::move(result);
  return out;
}

const std::string& text_arg(const Value& args, const char* key) {
  return args.at(key).get_ref<const std::string&>();
}

// ---- UTF-8 ----------------------------------------------------------------

// The code point starting at text[i], advancing i; -1 (and one byte) for a
// byte that does not start a valid sequence, so that such bytes count and stay
// one by one.
long next_code_point(std::string_view text, std::size_t& i) {
  const Utf8Char ch = decode_utf8(text, i);
  if (!ch.valid) {
    ++i;
    return -1;
  }
  i += ch.length;
  return static_cast<long>(ch.code);
}

// Unicode character classes of the C.UTF-8 locale, whatever the process locale is.
locale_t unicode_ctype() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

long map_case(long cp, bool upper) {
  if (locale_t loc = unicode_ctype())
    return upper ? static_cast<long>(towupper_l(static_cast<wint_t>(cp), loc))
                 : static_cast<long>(towlower_l(static_cast<wint_t>(cp), loc));
  if (cp < 0x80)
    return upper ? std::toupper(static_cast<int>(cp)) : std::tolower(static_cast<int>(cp));
  return cp;
}

bool is_space(long cp) {
  if (cp < 0) return false;
  if (locale_t loc = unicode_ctype()) return iswspace_l(static_cast<wint_t>(cp), loc) != 0;
  return cp == ' ' || (cp >= '\t' && cp <= '\r');
}

// Bytes that are not UTF-8 are kept as they are.
std::string change_case(std::string_view text, bool upper) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t start = i;
    long cp = next_code_point(text, i);
    if (cp < 0)
      out.append(text.substr(start, i - start));
    else
      append_utf8(out, static_cast<char32_t>(map_case(cp, upper)));
  }
  return out;
}

// ---- vq_noop ----------------------------------------------------------------

Value noop_run(const Value&, const std::string&) { return answer(0, "ok"); }

// ---- vq_text ----------------------------------------------------------------

Value text_upper(const Value& args, const std::string&) {
  return answer(0, change_case(text_arg(args, "text"), true));
}

Value text_lower(const Value& args, const std::string&) {
  return answer(0, change_case(text_arg(args, "text"), false));
}

Value text_strip(const Value& args, const std::string&) {
  std::string_view text = text_arg(args, "text");
  std::size_t begin = text.size(), end = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t start = i;
    long cp = next_code_point(text, i);
    if (is_space(cp)) continue;
    if (begin == text.size()) begin = start;
    end = i;
  }
  return answer(0, begin < end ? std::string(text.substr(begin, end - begin)) : std::string());
}

Value text_replace(const Value& args, const std::string& context) {
  const std::string& text = text_arg(args, "text");
  const std::string& old = text_arg(args, "old");
  const std::string& replacement = text_arg(args, "new");
  if (old.empty()) throw AppCallError(context, "\"old\" must not be empty", "");
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = text.find(old, pos)) != std::string::npos; pos = hit + old.size()) {
    out.append(text, pos, hit - pos);
    out += replacement;
  }
  out.append(text, pos, std::string::npos);
  return answer(0, std::move(out));
}

Value text_split(const Value& args, const std::string& context) {
  std::string_view text = text_arg(args, "text");
  Value parts = Value::array();
  if (args.contains("sep")) {
    std::string_view sep = text_arg(args, "sep");
    if (sep.empty()) throw AppCallError(context, "\"sep\" must not be empty", "");
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(sep, pos)) != std::string_view::npos;
         pos = hit + sep.size())
      parts.push_back(std::string(text.substr(pos, hit - pos)));
    parts.push_back(std::string(text.substr(pos)));
    return answer(0, std::move(parts));
  }
  // No separator: runs of white space separate, and there are no empty parts.
  std::size_t word_start = std::string_view::npos;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t start = i;
    long cp = next_code_point(text, i);
    if (is_space(cp)) {
      if (word_start != std::string_view::npos)
        parts.push_back(std::string(text.substr(word_start, start - word_start)));
      word_start = std::string_view::npos;
    } else if (word_start == std::string_view::npos) {
      word_start = start;
    }
  }
  if (word_start != std::string_view::npos) parts.push_back(std::string(text.substr(word_start)));
  return answer(0, std::move(parts));
}

Value text_length(const Value& args, const std::string&) {
  std::string_view text = text_arg(args, "text");
  long long count = 0;
  for (std::size_t i = 0; i < text.size(); ++count) next_code_point(text, i);
  return answer(0, count);
}

constexpr std::size_t k_max_pattern_length = std::size_t{64} * 1024;

RegexOptions regex_match_options() {
  RegexOptions options;
  options.limits = RegexLimits{100000, 10000, 20 * 1024};
  options.max_pattern_length = k_max_pattern_length;
  options.match_invalid_utf = false;  // such a text is refused
  return options;
}

// The message of a failed regex_match, in the action's own words.
std::string regex_failure(const RegexError& error) {
  switch (error.kind()) {
    case RegexError::Kind::compile:
      return fmt::format("pattern: {} at offset {}", error.reason(), error.offset());
    case RegexError::Kind::limit:
      return "the pattern takes too many steps on this text";
    case RegexError::Kind::match:
      return "text: " + error.reason();
    case RegexError::Kind::out_of_memory:
      break;
  }
  return "out of memory";
}

// The first match as [whole match, group 1, ...] (null for a group that took
// no part), or [] when the pattern does not match.
Value text_regex_match(const Value& args, const std::string& context) {
  const std::string& text = text_arg(args, "text");
  const std::string& pattern = text_arg(args, "pattern");
  std::optional<Regex::Groups> groups;
  try {
    groups = Regex(pattern, regex_match_options()).first_match(text);
  } catch (const RegexError& e) {
    throw AppCallError(context, regex_failure(e), "");
  }
  Value found = Value::array();
  if (groups) {
    for (auto& group : *groups) {
      if (group)
        found.push_back(std::move(*group));
      else
        found.push_back(nullptr);
    }
  }
  return answer(0, std::move(found));
}

// ---- vq_json ----------------------------------------------------------------

Value parse_json_arg(const Value& args, const char* key, const std::string& context) {
  try {
    return parse_json(text_arg(args, key));
  } catch (const JsonError& e) {
    throw AppCallError(context, fmt::format("{}: {}", key, e.what()), "");
  }
}

// A list index: optional '-' and decimal digits, nothing else.
std::optional<long long> index_of(std::string_view segment) {
  std::string_view digits = segment;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stoll(std::string(segment));
}

// Path "a.b.0.c": members of objects and (for integer segments) list elements,
// negative ones counted from the end. The empty path is the whole document.
Value json_pick(const Value& args, const std::string& context) {
  Value doc = parse_json_arg(args, "json", context);
  const std::string& path = text_arg(args, "path");
  std::vector<PathStep> steps;
  if (!path.empty()) {
    for (std::string& segment : split(path, ".")) {
      std::optional<long long> index = index_of(segment);
      steps.push_back(PathStep{std::move(segment), index});
    }
  }
  PathRules rules;
  rules.integer_steps_name_members = true;
  rules.index_texts = false;
  PathOutcome reached = walk_member_path(doc, steps, rules);
  if (!reached.value) {
    if (args.contains("default")) return answer(0, args["default"]);
    return answer(2, "no member " + json_text(Value(path)) + " in the JSON text");
  }
  return answer(0, std::move(*reached.value));
}

// `base` (an object, {} when absent) with member `key` set to `value`: the
// value read as JSON when it is JSON text, else as the text itself.
Value json_build(const Value& args, const std::string& context) {
  Value base = Value::object();
  if (args.contains("base")) {
    base = parse_json_arg(args, "base", context);
    if (!base.is_object()) throw AppCallError(context, "base: not a JSON object", "");
  }
  const std::string& value = text_arg(args, "value");
  auto parsed = try_parse_json(value);
  base[text_arg(args, "key")] = parsed ? std::move(*parsed) : Value(value);
  return answer(0, std::move(base));
}

// ---- registry ---------------------------------------------------------------

const std::vector<BuiltinApp>& builtin_apps() {
  static const std::vector<BuiltinApp> apps = {
      {"vq_noop", "Does nothing and answers \"ok\".", {{"run", {}, noop_run}}},
      {"vq_text",
       "Text helpers: case, white space, replacing, splitting, length, regular expressions.",
       {
           {"upper", {{"text", true}}, text_upper},
           {"lower", {{"text", true}}, text_lower},
           {"strip", {{"text", true}}, text_strip},
           {"replace", {{"text", true}, {"old", true}, {"new", true}}, text_replace},
           {"split", {{"text", true}, {"sep", false}}, text_split},
           {"length", {{"text", true}}, text_length},
           {"regex_match", {{"text", true}, {"pattern", true}}, text_regex_match},
       }},
      {"vq_json",
       "JSON helpers: pick a member by path, build an object member by member.",
       {
           {"pick", {{"json", true}, {"path", true}, {"default", false}}, json_pick},
           {"build", {{"key", true}, {"value", true}, {"base", false}}, json_build},
       }},
  };
  return apps;
}

const BuiltinApp* find_app(const std::string& app_dir) {
  for (const auto& app : builtin_apps())
    if (app_dir == app.name) return &app;
  return nullptr;
}

std::string manifest_text(const BuiltinApp& app) {
  Value doc = Value::object();
  doc["identification"] = "vqflow";
  doc["is_public"] = true;
  doc["name"] = app.name;
  doc["description"] = app.description;
  doc["builtin"] = true;
  Value actions = Value::object();
  for (const auto& action : app.actions) {
    Value args = Value::array();
    for (const auto& arg : action.args) {
      Value entry = Value::object();
      entry["key"] = arg.key;
      entry["required"] = arg.required;
      args.push_back(std::move(entry));
    }
    actions[action.name]["args"] = std::move(args);
  }
  doc["actions"] = std::move(actions);
  return json_text(doc, false);
}

class BuiltinAction : public AppAction {
 public:
  BuiltinAction(std::string context, ActionSpec plan, ActionFunction run)
      : context_(std::move(context)), spec_(std::move(plan)), run_(run) {}

  boost::asio::awaitable<Value> call(NamedArguments args, CallControl control) override {
    if (control.stop && control.stop->stopped())
      throw AppStoppedError(context_, control.stop->reason().value_or("stopped"), "");
    check_arguments(context_, spec_, args);
    co_return run_(arguments_object(args), context_);
  }

 private:
  std::string context_;
  ActionSpec spec_;
  ActionFunction run_;
};

}  // namespace

std::optional<std::string> builtin_app_manifest(const std::string& app_dir) {
  const BuiltinApp* app = find_app(app_dir);
  if (app == nullptr) return std::nullopt;
  return manifest_text(*app);
}

bool is_builtin_app(const std::string& app_dir) { return find_app(app_dir) != nullptr; }

std::vector<std::string> builtin_app_names() {
  std::vector<std::string> names;
  for (const auto& app : builtin_apps()) names.emplace_back(app.name);
  return names;
}

std::shared_ptr<AppAction> load_builtin_action(const std::string& app_dir,
                                               const std::string& action) {
  const BuiltinApp* app = find_app(app_dir);
  if (app == nullptr) return nullptr;
  for (const auto& def : app->actions)
    if (action == def.name)
      return std::make_shared<BuiltinAction>(call_context(app_dir, action), ActionSpec{def.args},
                                             def.run);
  throw AppLoadError(fmt::format("app {}: no action {}", app_dir, printable_name(action)));
}

}  // namespace vqflow
