// Throughput of the value readers and writers on app-result-sized documents, and
// the cost of hostile shapes (many members, deep nesting).
#include <benchmark/benchmark.h>

#include <string>

#include "value/literal.h"
#include "value/value.h"

namespace {

// About 1 MB: a list of records with texts, numbers and nested lists.
std::string records_json(int count) {
  std::string text = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += R"({"id": )" + std::to_string(i) + R"(, "host": "srv-)" + std::to_string(i) +
            R"(.example", "score": 0.)" + std::to_string(i % 997) +
            R"(, "tags": ["a", "b\u00e9", "\ud83d\ude00"], "ok": true, "note": null})";
  }
  return text + "]";
}

void BM_ParseJson(benchmark::State& state) {
  const std::string text = records_json(10000);
  for (auto _ : state) benchmark::DoNotOptimize(vqflow::parse_json(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseJson);

void BM_JsonText(benchmark::State& state) {
  const vqflow::Value value = vqflow::parse_json(records_json(10000));
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string text = vqflow::json_text(value);
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_JsonText);

void BM_TextForm(benchmark::State& state) {
  const vqflow::Value value = vqflow::parse_json(records_json(10000));
  for (auto _ : state) benchmark::DoNotOptimize(vqflow::text_form(value));
}
BENCHMARK(BM_TextForm);

void BM_ParseLiteral(benchmark::State& state) {
  const std::string text = vqflow::text_form(vqflow::parse_json(records_json(10000)));
  for (auto _ : state) benchmark::DoNotOptimize(vqflow::parse_literal(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseLiteral);

// One map with 100,000 distinct members: building must stay linear.
void BM_ParseJsonManyMembers(benchmark::State& state) {
  std::string text = "{";
  for (int i = 0; i < 100000; ++i) {
    if (i > 0) text += ",";
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
  }
  text += "}";
  for (auto _ : state) benchmark::DoNotOptimize(vqflow::parse_json(text));
}
BENCHMARK(BM_ParseJsonManyMembers);

// A megabyte of '[' is refused at the depth limit, early.
void BM_ParseJsonDeepRefused(benchmark::State& state) {
  const std::string text(1 << 20, '[');
  for (auto _ : state) benchmark::DoNotOptimize(vqflow::try_parse_json(text));
}
BENCHMARK(BM_ParseJsonDeepRefused);

}  // namespace
