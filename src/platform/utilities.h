#pragma once
#include <cstddef>
#include <string>

namespace vqflow {

struct Time {
  // The local date and time as "YYYY-MM-DD HH:MM:SS".
  static std::string get_date_time();
};

struct Random {
  // A run identifier of `length` characters [0-9a-z] from the system's
  // cryptographic source.
  static std::string make_order_number(std::size_t length);
};

struct File {
  // The text of <path>/<app_dir>/app.json, or "{}" when the app has none.
  // Throws StoreError when the file exists but cannot be read.
  static std::string find_app_json(const std::string& path, const std::string& app_dir);
};

}  // namespace vqflow
