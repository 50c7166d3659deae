// vqflow-bench: every performance figure of vqflow in one run, each beside the
// reference it is judged against (measured in the same run where possible).
//
//   vqflow-bench [--quick] [--json FILE] [--redis URL --pg URL] [--sections 1,2,...]
//
// Redis and PostgreSQL also come from VQFLOW_BENCH_KV / VQFLOW_BENCH_DB.
#include <signal.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "macro.h"

namespace {

using namespace vqflow::bench;

void usage() {
  std::fprintf(stderr,
               "usage: vqflow-bench [--quick] [--json FILE] [--redis URL] [--pg URL] "
               "[--sections LIST] [--peer URL]\n"
               "  --quick        about 30 s instead of about 3 minutes\n"
               "  --json FILE    also write the figures to FILE\n"
               "  --redis URL    redis://host:port[/db] (or VQFLOW_BENCH_KV)\n"
               "  --pg URL       postgresql://user@host:port/db (or VQFLOW_BENCH_DB)\n"
               "  --sections L   comma-separated section numbers 1-8 (default: all)\n"
               "  --peer URL     the peer engine set up by scripts/bench.sh (sections 2, 7)\n"
               "                 (or VQFLOW_BENCH_PEER; VQFLOW_BENCH_PEER_MISSING says why not)\n");
}

std::optional<std::string> environment(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// The scratch folder goes on normal exit, on exceptions and on SIGINT/SIGTERM.
std::filesystem::path g_scratch;

void remove_scratch() {
  if (g_scratch.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(g_scratch, ec);
}

void on_signal(int signal) {
  remove_scratch();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

using Section = void (*)(Report&, const Options&);

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--json") {
      options.json_path = value();
    } else if (arg == "--redis") {
      options.redis_url = value();
    } else if (arg == "--pg") {
      options.pg_url = value();
    } else if (arg == "--peer") {
      options.peer_url = value();
    } else if (arg == "--sections") {
      const std::string list = value();
      std::size_t start = 0;
      while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        if (!item.empty()) {
          try {
            options.sections.push_back(std::stoi(item));
          } catch (const std::exception&) {
            usage();
            return 2;
          }
        }
        start = comma + 1;
      }
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else {
      std::fprintf(stderr, "vqflow-bench: unknown argument %s\n", arg.c_str());
      usage();
      return 2;
    }
  }
  if (!options.redis_url) options.redis_url = environment("VQFLOW_BENCH_KV");
  if (!options.pg_url) options.pg_url = environment("VQFLOW_BENCH_DB");
  if (!options.peer_url) options.peer_url = environment("VQFLOW_BENCH_PEER");
  options.peer_missing = environment("VQFLOW_BENCH_PEER_MISSING");

  // One process log line per stored record otherwise.
  spdlog::set_level(spdlog::level::err);
  // Plug-ins and clients that go away must not kill the bench.
  ::signal(SIGPIPE, SIG_IGN);

  options.self = std::filesystem::read_symlink("/proc/self/exe");
  options.scratch =
      std::filesystem::temp_directory_path() / ("vqflow-bench-" + std::to_string(::getpid()));
  g_scratch = options.scratch;
  std::filesystem::create_directories(options.scratch);
  std::atexit(remove_scratch);
  ::signal(SIGINT, on_signal);
  ::signal(SIGTERM, on_signal);
  // Best effort: a crash should not leave the scratch folder behind either.
  ::signal(SIGSEGV, on_signal);
  ::signal(SIGABRT, on_signal);

  const Section sections[] = {engine_section, embedded_section, server_stores_section,
                              plugin_section, paths_section,    scheduler_section,
                              http_section,   queue_section};
  Report report;
  const double start = now_seconds();
  for (int n = 1; n <= 8; ++n) {
    if (!options.wants(n)) continue;
    const double section_start = now_seconds();
    std::fprintf(stderr, "vqflow-bench: section %d...\n", n);
    try {
      sections[n - 1](report, options);
    } catch (const std::exception& e) {
      report.note(std::to_string(n), std::string("section failed: ") + e.what());
    }
    std::fprintf(stderr, "vqflow-bench: section %d took %.1f s\n", n,
                 now_seconds() - section_start);
  }
  report.print();
  std::printf("\ntotal time %.1f s%s\n", now_seconds() - start, options.quick ? " (--quick)" : "");
  if (options.json_path) report.write_json(*options.json_path, options);
  remove_scratch();
  return 0;
}
