// The record table: string keys to string values, shared by the variable table `var` and
// the action table `act`.
//
// A record is one heap string "name=value" split in place: the '=' becomes a NUL, the key
// points at the start of the allocation and the value just behind it, so freeing the key
// frees the record. The table owns every stored allocation.
//
// Layout: open addressing with linear probing over a power-of-two bucket array, one
// occupancy bit per bucket, load kept below 3/4, and backward-shift deletion (no
// tombstones), so probe runs stay short however many records come and go. The hash is
// FNV-1a with a basis of its own (0x811c9dce); the home bucket is chosen by Fibonacci
// hashing. Bucket order is observable (dump_records), so both are fixed.
#pragma once

#include <cstdint>
#include <cstdio>

struct record_bucket {
  char *key;
  char *value;
};

struct record_table {
  uint32_t bits = 0;    // log2 of the bucket count, while buckets exist
  uint32_t count = 0;   // records stored
  uint32_t *used = nullptr;              // occupancy bitmap
  record_bucket *buckets = nullptr;      // null until the first insert
};

// Memory for the bucket array and bitmap. Replaceable so tests can make growth fail;
// nullptr functions restore calloc and realloc.
struct table_allocator {
  void *(*calloc_fn)(size_t, size_t);
  void *(*realloc_fn)(void *, size_t);
};
void set_table_allocator(table_allocator a);

uint32_t hash_key(const char *key);

record_table *table_new();
uint32_t table_size(const record_table *t);  // bucket count, 0 without buckets
bool table_is_used(const record_table *t, uint32_t i);
// The bucket holding `key`, or the bucket count when absent.
uint32_t table_find(const record_table *t, const char *key);
// Places `key` (its value already split off; the caller stores the value pointer).
// *flag: 1 placed, 0 the key exists at the returned bucket, -1 growing failed (the
// returned index is then the bucket count).
uint32_t table_insert(record_table *t, char *key, int *flag);
// Removes the record in bucket i (the caller has freed it). Returns 1, or 0 for a table
// without buckets.
int table_delete(record_table *t, uint32_t i);

// Frees and removes every record; the buckets stay for reuse.
void clear_records(record_table *t);

// Takes ownership of the heap string `s`: "name=value" sets, "name" deletes.
// 0 on success; -1 when a deleted key was missing or the table could not grow.
int put_record(char *s, record_table *t);
// The stored value (not a copy), or nullptr.
const char *get_record(const char *key, const record_table *t);
// Writes every record as "%s=%s\n" in bucket order; returns the number written.
int dump_records(FILE *f, const record_table *t);
