// The record table. See table.h for the layout and its invariants.
//
// Growth rehashes in place: records are carried from their old buckets to their new home
// buckets, and a record met in a not-yet-moved old bucket is swapped out and carried on,
// so growth needs the larger bucket array and a fresh bitmap, never a second array.
#include "state/table.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/log.h"

namespace {

void *(*alloc_zeroed)(size_t, size_t) = calloc;
void *(*alloc_resize)(void *, size_t) = realloc;

constexpr uint32_t fnv_basis = 0x811c9dce;
constexpr uint32_t fnv_prime = 16777619;
constexpr uint32_t fib_mult = 0x9e3779b9;

uint32_t bucket_count(uint32_t bits) { return 1u << bits; }

size_t bitmap_words(uint32_t buckets) { return buckets < 32 ? 1 : buckets / 32; }

bool bit_test(const uint32_t *map, uint32_t i) { return (map[i / 32] >> (i % 32)) & 1u; }
void bit_set(uint32_t *map, uint32_t i) { map[i / 32] |= 1u << (i % 32); }
void bit_clear(uint32_t *map, uint32_t i) { map[i / 32] &= ~(1u << (i % 32)); }

uint32_t home_bucket(const char *key, uint32_t bits) {
  return (hash_key(key) * fib_mult) >> (32 - bits);
}

// Resizes to at least `request` buckets (and at least 4). Returns 0, or -1 with the table
// unchanged when memory cannot be had.
int table_resize(record_table *t, uint32_t request) {
  uint32_t bits = 2;
  while (bucket_count(bits) < request) bits++;
  uint32_t m = bucket_count(bits);
  if (m / 2 + m / 4 < t->count) return 0;

  auto *fresh = static_cast<uint32_t *>(alloc_zeroed(bitmap_words(m), sizeof(uint32_t)));
  if (!fresh) return -1;

  uint32_t n = table_size(t);
  if (m > n) {
    auto *grown = static_cast<record_bucket *>(
        alloc_resize(t->buckets, static_cast<size_t>(m) * sizeof(record_bucket)));
    if (!grown) {
      free(fresh);
      return -1;
    }
    t->buckets = grown;
  }

  uint32_t mask = m - 1;
  for (uint32_t j = 0; j < n; j++) {
    if (!bit_test(t->used, j)) continue;
    bit_clear(t->used, j);
    record_bucket carry = t->buckets[j];
    for (;;) {
      uint32_t k = home_bucket(carry.key, bits);
      while (bit_test(fresh, k)) k = (k + 1) & mask;
      bit_set(fresh, k);
      if (k < n && bit_test(t->used, k)) {
        // an old record not moved yet: take its place and carry it on
        std::swap(carry, t->buckets[k]);
        bit_clear(t->used, k);
        continue;
      }
      t->buckets[k] = carry;
      break;
    }
  }

  if (m < n) {
    // Shrinking cannot lose data: on failure the larger array simply stays.
    auto *shrunk = static_cast<record_bucket *>(
        alloc_resize(t->buckets, static_cast<size_t>(m) * sizeof(record_bucket)));
    if (shrunk) t->buckets = shrunk;
  }
  free(t->used);
  t->used = fresh;
  t->bits = bits;
  return 0;
}

}  // namespace

void set_table_allocator(table_allocator a) {
  alloc_zeroed = a.calloc_fn ? a.calloc_fn : calloc;
  alloc_resize = a.realloc_fn ? a.realloc_fn : realloc;
}

uint32_t hash_key(const char *key) {
  uint32_t h = fnv_basis;
  for (auto *p = reinterpret_cast<const unsigned char *>(key); *p; p++) {
    h ^= *p;
    h *= fnv_prime;
  }
  return h;
}

record_table *table_new() { return new record_table(); }

uint32_t table_size(const record_table *t) { return t->buckets ? bucket_count(t->bits) : 0; }

bool table_is_used(const record_table *t, uint32_t i) {
  return t->buckets && i < table_size(t) && bit_test(t->used, i);
}

uint32_t table_find(const record_table *t, const char *key) {
  if (!t->buckets) return 0;
  uint32_t m = table_size(t);
  uint32_t mask = m - 1;
  uint32_t start = home_bucket(key, t->bits);
  uint32_t i = start;
  while (bit_test(t->used, i)) {
    if (strcmp(t->buckets[i].key, key) == 0) return i;
    i = (i + 1) & mask;
    if (i == start) return m;
  }
  return m;
}

uint32_t table_insert(record_table *t, char *key, int *flag) {
  uint32_t n = table_size(t);
  if (t->count >= n / 2 + n / 4 && table_resize(t, n + 1) < 0) {
    *flag = -1;
    return n;
  }
  uint32_t mask = table_size(t) - 1;
  uint32_t start = home_bucket(key, t->bits);
  uint32_t i = start;
  while (bit_test(t->used, i)) {
    if (strcmp(t->buckets[i].key, key) == 0) break;
    i = (i + 1) & mask;
    if (i == start) break;
  }
  if (bit_test(t->used, i)) {
    *flag = 0;
    return i;
  }
  t->buckets[i].key = key;
  t->buckets[i].value = nullptr;
  bit_set(t->used, i);
  t->count++;
  *flag = 1;
  return i;
}

int table_delete(record_table *t, uint32_t i) {
  if (!t->buckets) return 0;
  uint32_t mask = table_size(t) - 1;
  uint32_t hole = i;
  uint32_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (j == hole || !bit_test(t->used, j)) break;
    uint32_t k = home_bucket(t->buckets[j].key, t->bits);
    // Move the record at j back into the hole unless its home lies cyclically in
    // (hole, j]: then it would be placed before its own home and never found.
    if ((j > hole && (k <= hole || k > j)) || (j < hole && k <= hole && k > j)) {
      t->buckets[hole] = t->buckets[j];
      hole = j;
    }
  }
  t->buckets[hole] = {nullptr, nullptr};
  bit_clear(t->used, hole);
  t->count--;
  return 1;
}

int put_record(char *s, record_table *t) {
  char *eq = strchr(s, '=');
  if (!eq) {
    uint32_t i = table_find(t, s);
    int rc = -1;
    if (i < table_size(t)) {
      DBG("deleting %s", s);
      free(t->buckets[i].key);
      table_delete(t, i);
      rc = 0;
    }
    free(s);
    return rc;
  }

  *eq = '\0';
  char *value = eq + 1;
  int flag;
  uint32_t i = table_insert(t, s, &flag);
  if (flag < 0) {
    free(s);
    return -1;
  }
  record_bucket &b = t->buckets[i];
  if (flag == 1) {
    b.value = value;
    DBG("adding %s=%s\n", s, value);
  } else if (strcmp(b.value, value) == 0) {
    DBG("existing %s=%s\n", s, value);
    free(s);
  } else {
    DBG("replacing %s=%s\n", s, value);
    free(b.key);
    b.key = s;
    b.value = value;
  }
  return 0;
}

const char *get_record(const char *key, const record_table *t) {
  uint32_t i = table_find(t, key);
  return i < table_size(t) ? t->buckets[i].value : nullptr;
}

int dump_records(FILE *f, const record_table *t) {
  int written = 0;
  for (uint32_t i = 0; i < table_size(t); i++) {
    if (!bit_test(t->used, i)) continue;
    fprintf(f, "%s=%s\n", t->buckets[i].key, t->buckets[i].value);
    written++;
  }
  if (static_cast<uint32_t>(written) != t->count) fprintf(f, "*** kh_size %d\n", t->count);
  return written;
}

void clear_records(record_table *t) {
  // Each deletion may shift a later record back into a slot already passed: restart at
  // the bucket just emptied.
  for (uint32_t i = 0; i < table_size(t);) {
    if (!table_is_used(t, i)) {
      i++;
      continue;
    }
    free(t->buckets[i].key);
    table_delete(t, i);
  }
}
