// The variable table against std::unordered_map<std::string, std::string>, operation by
// operation, in the same run. The table is written on every request field and on every
// status refresh, so these are the daemon's hottest paths. This program measures and
// prints; it asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "state/table.h"

namespace {

constexpr int key_count = 1000;  // about what a machine with a full array holds

const std::vector<std::string> &keys() {
  static const std::vector<std::string> k = [] {
    const char *prefixes[] = {"diskFsType", "rdevStatus", "diskSize", "rdevName", "shareName",
                              "diskFsColor", "rdevReads", "rdevWrites", "diskIdent", "rdevId"};
    std::vector<std::string> out;
    for (int i = 0; i < key_count; i++) out.push_back(std::string(prefixes[i % 10]) + "." + std::to_string(i / 10));
    return out;
  }();
  return k;
}

std::string record_text(const std::string &key, const char *value) { return key + "=" + value; }

void free_table(record_table *t) {
  for (uint32_t i = 0; i < table_size(t); i++)
    if (table_is_used(t, i)) free(t->buckets[i].key);
  free(t->used);
  free(t->buckets);
  delete t;
}

record_table *filled_table(const char *value) {
  record_table *t = table_new();
  for (const auto &k : keys()) put_record(strdup(record_text(k, value).c_str()), t);
  return t;
}

std::unordered_map<std::string, std::string> filled_map(const char *value) {
  std::unordered_map<std::string, std::string> m;
  for (const auto &k : keys()) m[k] = value;
  return m;
}

// New variables: a fresh table filled with every key.
void BM_table_set_new(benchmark::State &state) {
  std::vector<std::string> texts;
  for (const auto &k : keys()) texts.push_back(record_text(k, "1"));
  for (auto _ : state) {
    record_table *t = table_new();
    for (const auto &s : texts) put_record(strdup(s.c_str()), t);
    benchmark::DoNotOptimize(t->count);
    free_table(t);
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}

void BM_map_set_new(benchmark::State &state) {
  for (auto _ : state) {
    std::unordered_map<std::string, std::string> m;
    for (const auto &k : keys()) m.insert_or_assign(k, "1");
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}

// The status refresh case: the same value written again.
void BM_table_set_same(benchmark::State &state) {
  record_table *t = filled_table("DISK_OK");
  std::vector<std::string> texts;
  for (const auto &k : keys()) texts.push_back(record_text(k, "DISK_OK"));
  for (auto _ : state)
    for (const auto &s : texts) put_record(strdup(s.c_str()), t);
  state.SetItemsProcessed(state.iterations() * key_count);
  free_table(t);
}

void BM_map_set_same(benchmark::State &state) {
  auto m = filled_map("DISK_OK");
  for (auto _ : state)
    for (const auto &k : keys()) m.insert_or_assign(k, "DISK_OK");
  state.SetItemsProcessed(state.iterations() * key_count);
}

// A changed value: alternate between two values so every write replaces.
void BM_table_replace(benchmark::State &state) {
  record_table *t = filled_table("a");
  std::vector<std::string> texts[2];
  for (const auto &k : keys()) {
    texts[0].push_back(record_text(k, "b"));
    texts[1].push_back(record_text(k, "a"));
  }
  int round = 0;
  for (auto _ : state) {
    for (const auto &s : texts[round]) put_record(strdup(s.c_str()), t);
    round ^= 1;
  }
  state.SetItemsProcessed(state.iterations() * key_count);
  free_table(t);
}

void BM_map_replace(benchmark::State &state) {
  auto m = filled_map("a");
  const char *values[2] = {"b", "a"};
  int round = 0;
  for (auto _ : state) {
    for (const auto &k : keys()) m.insert_or_assign(k, values[round]);
    round ^= 1;
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}

void BM_table_get_hit(benchmark::State &state) {
  record_table *t = filled_table("v");
  for (auto _ : state)
    for (const auto &k : keys()) benchmark::DoNotOptimize(get_record(k.c_str(), t));
  state.SetItemsProcessed(state.iterations() * key_count);
  free_table(t);
}

void BM_map_get_hit(benchmark::State &state) {
  auto m = filled_map("v");
  for (auto _ : state)
    for (const auto &k : keys()) benchmark::DoNotOptimize(m.find(k));
  state.SetItemsProcessed(state.iterations() * key_count);
}

void BM_table_get_miss(benchmark::State &state) {
  record_table *t = filled_table("v");
  std::vector<std::string> absent;
  for (const auto &k : keys()) absent.push_back(k + "x");
  for (auto _ : state)
    for (const auto &k : absent) benchmark::DoNotOptimize(get_record(k.c_str(), t));
  state.SetItemsProcessed(state.iterations() * key_count);
  free_table(t);
}

void BM_map_get_miss(benchmark::State &state) {
  auto m = filled_map("v");
  std::vector<std::string> absent;
  for (const auto &k : keys()) absent.push_back(k + "x");
  for (auto _ : state)
    for (const auto &k : absent) benchmark::DoNotOptimize(m.find(k));
  state.SetItemsProcessed(state.iterations() * key_count);
}

// Deleting every key of a full table (the refill is not timed).
void BM_table_delete(benchmark::State &state) {
  for (auto _ : state) {
    state.PauseTiming();
    record_table *t = filled_table("v");
    state.ResumeTiming();
    for (const auto &k : keys()) put_record(strdup(k.c_str()), t);
    state.PauseTiming();
    free_table(t);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}

void BM_map_delete(benchmark::State &state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto m = filled_map("v");
    state.ResumeTiming();
    for (const auto &k : keys()) m.erase(k);
    state.PauseTiming();
    m.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}

BENCHMARK(BM_table_set_new);
BENCHMARK(BM_map_set_new);
BENCHMARK(BM_table_set_same);
BENCHMARK(BM_map_set_same);
BENCHMARK(BM_table_replace);
BENCHMARK(BM_map_replace);
BENCHMARK(BM_table_get_hit);
BENCHMARK(BM_map_get_hit);
BENCHMARK(BM_table_get_miss);
BENCHMARK(BM_map_get_miss);
BENCHMARK(BM_table_delete);
BENCHMARK(BM_map_delete);

}  // namespace

BENCHMARK_MAIN();
