#include "support/test_support.h"

#include <fmt/format.h>

#include <atomic>
#include <random>

#include "stores/database.h"
#include "stores/kv_store.h"

namespace vqflow::test {

namespace {
std::string unique_suffix() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  return fmt::format("{}_{}_{}", static_cast<long>(::getpid()), counter++, rd() % 100000);
}
}  // namespace

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path() / ("vqflow_test_" + unique_suffix());
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::optional<std::string> live_redis_url() {
  const char* url = std::getenv("VQFLOW_TEST_REDIS");
  if (url == nullptr || *url == '\0') return std::nullopt;
  return std::string(url);
}

std::optional<std::string> live_pg_url() {
  const char* url = std::getenv("VQFLOW_TEST_PG");
  if (url == nullptr || *url == '\0') return std::nullopt;
  std::string base(url);
  // Each caller gets its own schema so that tests running in parallel never meet.
  return base + (base.find('?') == std::string::npos ? "?" : "&") + "schema=t_" + unique_suffix();
}

std::shared_ptr<Services> make_test_services(const TempDir& dir, const std::string& apps_path) {
  auto services = std::make_shared<Services>();
  services->config.db_url = dir.file("vqflow.db");
  services->config.kv_url = "memory://";
  services->config.apps_path = apps_path.empty() ? dir.file("apps") : apps_path;
  services->db = open_database(services->config.db_url);
  services->db->init_schema();
  services->kv = open_kv_store("memory://", std::nullopt);
  services->records = std::make_shared<RecordWriter>(services->db);
  return services;
}

}  // namespace vqflow::test
