#pragma once
#include <atomic>
#include <cstddef>
#include <string>

#include "base/clock.h"

namespace vqflow {

struct Time {
  // The local date and time of `clock` as "YYYY-MM-DD HH:MM:SS".
  static std::string get_date_time(const Clock& clock);
};

// Run identifiers. Each generator counts through a sequence that starts at a
// random point: an identifier is the next number of the sequence in base 36,
// then random characters. Identifiers made close in time therefore sort close
// together, so the records and run-scoped keys of the runs in progress share
// a few index pages instead of each landing on a random one, and one
// generator never repeats itself until its sequence wraps. Identifiers name
// runs; they are not secrets (consecutive ones differ in their last digits).
class Random {
 public:
  Random();
  // For tests: the sequence starts at `start`.
  explicit Random(unsigned long long start) : next_(start) {}
  Random(const Random&) = delete;
  Random& operator=(const Random&) = delete;

  // `length` characters [0-9a-z]: length - 3 sequence digits (at most 12; the
  // sequence wraps at 36 to that power), then random characters. At length
  // 10 (run identifiers): 7 digits, wrapping after 36^7 (about 7.8e10)
  // identifiers, and 3 random characters, so that two processes whose
  // sequences meet still differ but for 1 in 46,656. Thread-safe.
  std::string make_order_number(std::size_t length);

  // `length` characters [0-9a-z] from the system's cryptographic source.
  static std::string random_text(std::size_t length);

 private:
  std::atomic<unsigned long long> next_;
};

}  // namespace vqflow
