#include "base/utilities.h"

#include <fmt/format.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>

#include "base/errors.h"

namespace vqflow {

namespace {

void fill_random(unsigned char* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = ::getrandom(buffer + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Error(fmt::format("random source: getrandom: {}", std::strerror(errno)));
    }
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace

std::string Time::get_date_time(const Clock& clock) {
  // Every record asks for it: the text is made once per second per thread.
  thread_local std::time_t formatted_second = -1;
  thread_local std::string formatted;
  const std::time_t now = std::chrono::system_clock::to_time_t(clock.wall_now());
  if (now != formatted_second) {
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    formatted.assign(text, size);
    formatted_second = now;
  }
  return formatted;
}

namespace {

constexpr char k_alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr unsigned k_size = sizeof k_alphabet - 1;
// Characters of an identifier that are random rather than sequence digits.
constexpr std::size_t k_random_chars = 3;
// The sequence is a 64-bit counter, which fills 12 base-36 digits (36^12 < 2^64).
constexpr std::size_t k_max_digits = 12;

constexpr unsigned long long power(unsigned long long base, std::size_t exponent) {
  return exponent == 0 ? 1 : base * power(base, exponent - 1);
}

// 36^12: the start stays this far below 2^64, so the counter never overflows
// (which would break the sequence's wrap at 36 to the number of digits).
constexpr unsigned long long k_sequence_span = power(k_size, k_max_digits);
static_assert(k_sequence_span == 4738381338321616896ULL);

unsigned long long random_start() {
  unsigned long long start = 0;
  fill_random(reinterpret_cast<unsigned char*>(&start), sizeof start);
  return start % k_sequence_span;
}

}  // namespace

Random::Random() : next_(random_start()) {}

std::string Random::make_order_number(std::size_t length) {
  const std::size_t digits =
      length > k_random_chars ? std::min(length - k_random_chars, k_max_digits) : 0;
  if (digits == 0) return random_text(length);
  unsigned long long number = next_.fetch_add(1, std::memory_order_relaxed);
  std::string out(digits, '0');
  for (std::size_t i = digits; i-- > 0;) {
    out[i] = k_alphabet[number % k_size];
    number /= k_size;
  }
  return out + random_text(length - digits);
}

std::string Random::random_text(std::size_t length) {
  // Bytes at or above the largest multiple of 36 are dropped so every character is equally likely.
  constexpr unsigned k_limit = 256 - 256 % k_size;
  std::string out;
  out.reserve(length);
  unsigned char buffer[64];
  while (out.size() < length) {
    fill_random(buffer, sizeof buffer);
    for (unsigned char byte : buffer) {
      if (byte >= k_limit) continue;
      out += k_alphabet[byte % k_size];
      if (out.size() == length) break;
    }
  }
  return out;
}

}  // namespace vqflow
