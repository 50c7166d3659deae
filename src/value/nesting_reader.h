#pragma once
// The loop that the JSON and literal readers share: values, containers and the
// commas between them. Open containers live on a heap stack, so nesting costs
// heap, never call stack, and the depth limit turns hostile nesting into an
// error. Not part of the public value interface.
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <utility>

#include "value/value.h"
#include "value/value_internal.h"

namespace vqflow::value_detail {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A container a reader has open. Lists (and tuples) are built in place in
// *slot; maps gather their members first.
struct OpenContainer {
  char closer;  // ']', ')' or '}'; '}' closes a map
  Value* slot;
  bool comma = false;  // a comma was read in it
  MemberList members;
  std::string key;          // the key whose value is being read
  std::size_t key_pos = 0;  // where that key begins

  bool is_map() const { return closer == '}'; }
};

// Reads one value of a notation with nested containers. `Notation` derives
// from NestingReader<Notation> and provides:
//   using Error = ...                  what a fault throws (message "invalid <name> at ...")
//   static constexpr std::string_view k_name     "JSON", "literal"
//   static constexpr bool k_trailing_comma       a comma may stand before a closer
//   static constexpr bool k_line_column          faults name line and column (Error takes a
//                                                TextPosition), not only the offset
//   static bool is_space(char c)       white space between tokens
//   static char closer_of(char c)      the closer when `c` opens a container, else '\0'
//   Value read_scalar()
//   std::string read_key()             a map key, with the ':' after it and the space after that
//   void finish_list(OpenContainer&)   just before a list or tuple closes
//   void duplicate_member(std::size_t key_pos)   a map key stood twice (the last value wins)
template <typename Notation>
class NestingReader {
 public:
  static Value parse(std::string_view text, std::size_t max_depth) {
    Notation reader;
    reader.text_ = text;
    reader.max_depth_ = max_depth;
    return reader.read();
  }

 protected:
  NestingReader() = default;

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skip_space() {
    while (pos_ < text_.size() && Notation::is_space(text_[pos_])) ++pos_;
  }

  // Throws "invalid <name> at <where>: <problem>, found <what is there>".
  [[noreturn]] void fail(std::string_view problem) const { fail_at(pos_, problem); }
  [[noreturn]] void fail_at(std::size_t pos, std::string_view problem) const {
    throw_at(pos, "invalid " + std::string(Notation::k_name) + " at " + where(pos) + ": " +
                      std::string(problem) + ", found " + describe_at(text_, pos));
  }

  // "line 2, column 5 (offset 17)", or "offset 17" for notations without lines.
  std::string where(std::size_t pos) const {
    if constexpr (Notation::k_line_column) {
      const TextPosition at = position_in_text(text_, pos);
      return "line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
             " (offset " + std::to_string(pos) + ")";
    } else {
      return "offset " + std::to_string(pos);
    }
  }

  [[noreturn]] void throw_at(std::size_t pos, const std::string& message) const {
    if constexpr (Notation::k_line_column) {
      throw typename Notation::Error(message, position_in_text(text_, pos));
    } else {
      throw typename Notation::Error(message);
    }
  }

  Value read() {
    Value root;
    bool want_value = true;
    skip_space();
    for (;;) {
      if (want_value) {
        const char closer = Notation::closer_of(peek());
        if (closer != '\0') {
          if (frames_.size() >= max_depth_) {
            throw_at(pos_, std::string(Notation::k_name) + " nests deeper than " +
                               std::to_string(max_depth_) + " levels at " + where(pos_));
          }
          Value& slot = new_slot(root);
          ++pos_;
          frames_.push_back(OpenContainer{closer, &slot, false, {}, {}});
          if (closer != '}') slot = Value::array();
          skip_space();
          if (at(closer)) {
            ++pos_;
            close_top();
            want_value = false;
          } else if (closer == '}') {
            frames_.back().key_pos = pos_;
            frames_.back().key = notation().read_key();
          }
          continue;
        }
        Value scalar = notation().read_scalar();
        new_slot(root) = std::move(scalar);
        want_value = false;
        continue;
      }
      skip_space();
      if (frames_.empty()) {
        if (pos_ != text_.size()) fail("expected end of text");
        return root;
      }
      OpenContainer& top = frames_.back();
      if (at(',')) {
        ++pos_;
        top.comma = true;
        skip_space();
        if (Notation::k_trailing_comma && at(top.closer)) {
          ++pos_;
          close_top();
          continue;
        }
        if (top.is_map()) {
          top.key_pos = pos_;
          top.key = notation().read_key();
        }
        want_value = true;
      } else if (at(top.closer)) {
        ++pos_;
        close_top();
      } else {
        fail(std::string("expected ',' or '") + top.closer + "'");
      }
    }
  }

  // Where the next value goes: the root, a new list element or the pending member.
  Value& new_slot(Value& root) {
    if (frames_.empty()) return root;
    OpenContainer& top = frames_.back();
    if (top.is_map()) {
      bool reused = false;
      Value& slot = top.members.slot(std::move(top.key), &reused);
      if (reused) notation().duplicate_member(top.key_pos);
      return slot;
    }
    auto& list = top.slot->get_ref<Value::array_t&>();
    list.emplace_back();
    return list.back();
  }

  void close_top() {
    OpenContainer& top = frames_.back();
    if (top.is_map()) {
      *top.slot = top.members.take();
    } else {
      notation().finish_list(top);
    }
    frames_.pop_back();
  }

  std::string_view text_;
  std::size_t max_depth_ = 0;
  std::size_t pos_ = 0;
  std::deque<OpenContainer> frames_;  // a deque: frames never move while children point into them

 private:
  Notation& notation() { return static_cast<Notation&>(*this); }
};

}  // namespace vqflow::value_detail
