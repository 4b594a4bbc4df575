#include "state/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "log_capture.h"

namespace {

char *record(const std::string &s) { return strdup(s.c_str()); }

struct table_holder {
  record_table *t = table_new();
  ~table_holder() {
    for (uint32_t i = 0; i < table_size(t); i++)
      if (table_is_used(t, i)) free(t->buckets[i].key);
    free(t->used);
    free(t->buckets);
    delete t;
  }
};

std::string dump(const record_table *t, int *written = nullptr) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  int n = dump_records(f, t);
  fclose(f);
  if (written) *written = n;
  std::string out(buf, len);
  free(buf);
  return out;
}

// Every stored record must be reachable from its home bucket; count must match the bitmap.
void expect_matches(const record_table *t, const std::map<std::string, std::string> &ref) {
  ASSERT_EQ(t->count, ref.size());
  for (const auto &[k, v] : ref) {
    const char *got = get_record(k.c_str(), t);
    ASSERT_NE(got, nullptr) << k;
    ASSERT_EQ(v, got) << k;
  }
  uint32_t used = 0;
  for (uint32_t i = 0; i < table_size(t); i++) used += table_is_used(t, i);
  ASSERT_EQ(used, t->count);
  if (table_size(t)) {
    ASSERT_LE(t->count, table_size(t) / 2 + table_size(t) / 4);
  }
}

TEST(RecordHash, FixedBasisAndFibonacciBuckets) {
  EXPECT_EQ(hash_key(""), 0x811c9dceu);
  EXPECT_EQ(hash_key("a"), 0xef0c3a7du);
  EXPECT_EQ(hash_key("mdState"), 0xa467fae8u);
  // With 4 buckets the home bucket is the top two bits of hash * 0x9e3779b9.
  table_holder h;
  ASSERT_EQ(put_record(record("diskFsType.3=xfs"), h.t), 0);
  EXPECT_EQ(table_find(h.t, "diskFsType.3"), 2u);
}

TEST(RecordTable, EmptyTableHasNoBuckets) {
  table_holder h;
  EXPECT_EQ(table_size(h.t), 0u);
  EXPECT_EQ(table_find(h.t, "x"), 0u);
  EXPECT_EQ(table_delete(h.t, 0), 0);
  EXPECT_EQ(get_record("x", h.t), nullptr);
  EXPECT_EQ(put_record(record("x"), h.t), -1);
  EXPECT_EQ(dump(h.t), "");
}

TEST(RecordTable, GrowsAtThreeQuartersLoad) {
  table_holder h;
  const uint32_t expected_buckets[] = {4, 4, 4, 8, 8, 8, 16, 16, 16, 16, 16, 16, 32};
  for (int i = 0; i < 13; i++) {
    ASSERT_EQ(put_record(record("k" + std::to_string(i) + "=v"), h.t), 0);
    EXPECT_EQ(table_size(h.t), expected_buckets[i]) << "after record " << i + 1;
  }
}

TEST(RecordTable, PutRecordSemanticsAndDebugLines) {
  log_capture cap;
  init_debugging("put_record");
  cap.clear();
  table_holder h;
  record_table *t = h.t;
  EXPECT_EQ(put_record(record("a=1"), t), 0);
  EXPECT_EQ(put_record(record("a=1"), t), 0);
  EXPECT_EQ(put_record(record("a=2"), t), 0);
  EXPECT_EQ(put_record(record("k=x=y"), t), 0);
  EXPECT_EQ(put_record(record("e="), t), 0);
  EXPECT_EQ(t->count, 3u);
  EXPECT_STREQ(get_record("a", t), "2");
  EXPECT_STREQ(get_record("k", t), "x=y");
  EXPECT_STREQ(get_record("e", t), "");
  EXPECT_EQ(get_record("missing", t), nullptr);
  EXPECT_EQ(put_record(record("a"), t), 0);
  EXPECT_EQ(put_record(record("a"), t), -1);
  EXPECT_EQ(get_record("a", t), nullptr);
  EXPECT_EQ(t->count, 2u);
  EXPECT_EQ(cap.at(LOG_DEBUG), (std::vector<std::string>{
                                   "debug: put_record: adding a=1\n",
                                   "debug: put_record: existing a=1\n",
                                   "debug: put_record: replacing a=2\n",
                                   "debug: put_record: adding k=x=y\n",
                                   "debug: put_record: adding e=\n",
                                   "debug: put_record: deleting a",
                               }));
}

TEST(RecordTable, DumpWritesEveryRecordInBucketOrder) {
  table_holder h;
  for (int i = 0; i < 20; i++) put_record(record("n" + std::to_string(i) + "=" + std::to_string(i * i)), h.t);
  int written = 0;
  std::string out = dump(h.t, &written);
  EXPECT_EQ(written, 20);
  std::string expected;
  for (uint32_t i = 0; i < table_size(h.t); i++)
    if (table_is_used(h.t, i))
      expected += std::string(h.t->buckets[i].key) + "=" + h.t->buckets[i].value + "\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 20);
  EXPECT_EQ(out.find("kh_size"), std::string::npos);

  h.t->count++;  // a table whose count disagrees with its bitmap says so
  EXPECT_EQ(dump(h.t), expected + "*** kh_size 21\n");
  h.t->count--;
}

// Long random runs over a small key space, so keys collide in their home buckets and
// deletions shift records across wrapped probe runs; checked against a reference map.
TEST(RecordTable, RandomRunsAgainstReferenceMap) {
  for (unsigned seed : {1u, 7u, 42u, 2024u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    table_holder h;
    std::map<std::string, std::string> ref;
    const int key_space = 1 + static_cast<int>(seed % 5) * 60;
    for (int step = 0; step < 20000; step++) {
      std::string key = "disk" + std::to_string(rng() % key_space) + "." + std::to_string(rng() % 3);
      int op = static_cast<int>(rng() % 10);
      if (op < 5) {
        std::string value = std::to_string(rng() % 4);
        ASSERT_EQ(put_record(record(key + "=" + value), h.t), 0);
        ref[key] = value;
      } else {
        int expected = ref.erase(key) ? 0 : -1;
        ASSERT_EQ(put_record(record(key), h.t), expected);
      }
      if (step % 997 == 0) expect_matches(h.t, ref);
    }
    expect_matches(h.t, ref);
    // drain completely: every deletion must still find the rest
    while (!ref.empty()) {
      auto it = ref.begin();
      ASSERT_EQ(put_record(record(it->first), h.t), 0);
      ref.erase(it);
      if (ref.size() % 17 == 0) expect_matches(h.t, ref);
    }
    EXPECT_EQ(h.t->count, 0u);
  }
}

// Keys chosen to share one home bucket in a 16-bucket table, placed and deleted in every
// order, exercise the backward shift inside one long run.
TEST(RecordTable, CollidingRunSurvivesDeletionInAnyPosition) {
  std::vector<std::string> same_home;
  uint32_t target = 15;  // the last bucket, so the run wraps to bucket 0
  for (int i = 0; same_home.size() < 5; i++) {
    std::string k = "c" + std::to_string(i);
    if (((hash_key(k.c_str()) * 0x9e3779b9u) >> 28) == target) same_home.push_back(k);
  }
  for (size_t victim = 0; victim < same_home.size(); victim++) {
    SCOPED_TRACE(victim);
    table_holder h;
    std::map<std::string, std::string> ref;
    for (int i = 0; i < 7; i++) {  // fill to 16 buckets with unrelated keys first
      put_record(record("pad" + std::to_string(i) + "=p"), h.t);
      ref["pad" + std::to_string(i)] = "p";
    }
    for (const auto &k : same_home) {
      put_record(record(k + "=" + k), h.t);
      ref[k] = k;
    }
    ASSERT_EQ(table_size(h.t), 16u);
    ASSERT_EQ(put_record(record(same_home[victim]), h.t), 0);
    ref.erase(same_home[victim]);
    expect_matches(h.t, ref);
  }
}

// Clearing a table whose colliding run wraps from the last bucket to the first leaves
// nothing behind (LeakSanitizer sees every record freed) and a table that works again.
TEST(RecordTable, ClearRemovesEveryRecordEvenInAWrappedRun) {
  table_holder h;
  int wrapped = 0;
  for (int i = 0; wrapped < 4; i++) {
    std::string k = "w" + std::to_string(i);
    if (((hash_key(k.c_str()) * 0x9e3779b9u) >> 28) != 15) continue;
    put_record(record(k + "=v"), h.t);
    wrapped++;
  }
  for (int i = 0; i < 6; i++) put_record(record("pad" + std::to_string(i) + "=p"), h.t);
  ASSERT_EQ(table_size(h.t), 16u);
  clear_records(h.t);
  EXPECT_EQ(h.t->count, 0u);
  for (uint32_t i = 0; i < table_size(h.t); i++) EXPECT_FALSE(table_is_used(h.t, i)) << i;
  put_record(record("again=1"), h.t);
  EXPECT_STREQ(get_record("again", h.t), "1");
}

int fail_after = -1;
void *failing_calloc(size_t n, size_t s) { return fail_after-- == 0 ? nullptr : calloc(n, s); }
void *failing_realloc(void *p, size_t s) { return fail_after-- == 0 ? nullptr : realloc(p, s); }

// A write that cannot grow the table fails, leaves the table as it was and leaks nothing
// (LeakSanitizer checks the last part).
TEST(RecordTable, FailedGrowthChangesNothing) {
  for (int which : {0, 1}) {  // the bitmap allocation fails, then the bucket array's
    SCOPED_TRACE(which);
    table_holder h;
    for (int i = 0; i < 3; i++) put_record(record("k" + std::to_string(i) + "=v"), h.t);
    std::string before = dump(h.t);
    set_table_allocator({failing_calloc, failing_realloc});
    fail_after = which;
    EXPECT_EQ(put_record(record("k3=v"), h.t), -1);
    set_table_allocator({nullptr, nullptr});
    EXPECT_EQ(table_size(h.t), 4u);
    EXPECT_EQ(h.t->count, 3u);
    EXPECT_EQ(dump(h.t), before);
    EXPECT_EQ(get_record("k3", h.t), nullptr);
    // an existing key can still be replaced without growth
    EXPECT_EQ(put_record(record("k1=w"), h.t), 0);
    EXPECT_STREQ(get_record("k1", h.t), "w");
    EXPECT_EQ(put_record(record("k3=v"), h.t), 0);
    EXPECT_EQ(table_size(h.t), 8u);
  }
}

}  // namespace
