#include "plugins/app_file.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/errors.h"
#include "plugins/builtin_apps.h"

namespace vqflow {

namespace {

// A manifest is a small JSON object; anything bigger is refused rather than read.
constexpr std::uintmax_t k_max_manifest_bytes = 4u << 20;

// An app directory is one plain name: no separators, no "." or "..".
bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

std::string File::find_app_json(const std::string& path, const std::string& app_dir) {
  // Built-in apps answer with their compiled-in manifest, wherever the apps folder is.
  if (auto builtin = builtin_app_manifest(app_dir)) return *builtin;
  if (!is_plain_name(app_dir)) return "{}";
  std::filesystem::path file = std::filesystem::path(path) / app_dir / "app.json";
  std::error_code ec;
  auto status = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(status)) return "{}";
  if (!std::filesystem::is_regular_file(status)) {
    throw StoreError(fmt::format("app manifest {}: not a regular file", file.string()));
  }
  auto size = std::filesystem::file_size(file, ec);
  if (!ec && size > k_max_manifest_bytes) {
    throw StoreError(fmt::format("app manifest {}: {} bytes is more than the {} allowed",
                                 file.string(), size, k_max_manifest_bytes));
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw StoreError(
        fmt::format("app manifest {}: cannot be read: {}", file.string(), std::strerror(errno)));
  }
  // Read in small chunks up to the cap: manifests are read on every app call,
  // so no buffer of the cap's size is filled each time.
  std::string text;
  if (!ec) text.reserve(static_cast<std::size_t>(size));
  char chunk[16384];
  while (text.size() <= k_max_manifest_bytes && in.read(chunk, sizeof chunk).gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) {
    throw StoreError(fmt::format("app manifest {}: read failed", file.string()));
  }
  if (text.size() > k_max_manifest_bytes) {
    throw StoreError(fmt::format("app manifest {}: more than the {} bytes allowed", file.string(),
                                 k_max_manifest_bytes));
  }
  return text;
}

bool app_folder_exists(const std::string& apps_path, const std::string& app_dir) {
  if (is_builtin_app(app_dir)) return true;
  if (!is_plain_name(app_dir)) return false;
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::path(apps_path) / app_dir, ec);
}

}  // namespace vqflow
