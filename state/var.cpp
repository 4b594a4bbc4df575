// The variable table and the accessors over it. See var.h.
#include "state/var.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/log.h"

record_table var;
record_table act;
pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;

int slot_count = 0;
int pool_first = 0;
int pool_count = 0;
int flash_first = 0;
int flash_count = 0;
std::atomic<bool> copy_thread_running[2];

namespace {

constexpr size_t var_name_max = 260;  // get_var's buffer, terminator included

// The names user shares and pools may not take.
constexpr const char *reserved_names[] = {
    "flash",  "boot",   "user",   "user0",   "dev",        "remotes", "RecycleBin", "rootshare",
    "disks",  "addons", "mirror", "raidz",   "raidz1",     "raidz2",  "raidz3",     "draid",
    "spare",  "log",    "disk",   "parity",  "parity2",    "parity3", "diskP",      "diskQ",
    "diskR",  "disk0",  "disk1",  "disk2",   "disk3",      "disk4",   "disk5",      "disk6",
    "disk7",  "disk8",  "disk9",  "disk10",  "disk11",     "disk12",  "disk13",     "disk14",
    "disk15", "disk16", "disk17", "disk18",  "disk19",     "disk20",  "disk21",     "disk22",
    "disk23", "disk24", "disk25", "disk26",  "disk27",     "disk28",  "disk29",     "disk30",
    "disk31", nullptr,
};

__attribute__((format(printf, 1, 0))) const char *lookup_v(const char *fmt, va_list ap) {
  char name[var_name_max];
  vsnprintf(name, sizeof name, fmt, ap);
  return get_record(name, &var);
}

// A slot variable's index: the decimal number after the last point (no number reads as 0).
long index_of(const char *key) {
  const char *dot = strrchr(key, '.');
  return dot ? strtol(dot + 1, nullptr, 10) : -1;
}

bool is_slot_var_at_or_above(const char *key, int first) {
  if (strncmp(key, "disk", 4) != 0 && strncmp(key, "rdev", 4) != 0) return false;
  if (!strchr(key, '.')) return false;
  return index_of(key) >= first;
}

}  // namespace

int put_var(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *s = nullptr;
  int n = vasprintf(&s, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  return put_record(s, &var);
}

const char *get_var(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const char *v = lookup_v(fmt, ap);
  va_end(ap);
  return v;
}

int get_var_int(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const char *v = lookup_v(fmt, ap);
  va_end(ap);
  return v ? atoi(v) : 0;
}

const char *need_var(const char *func, int line, const char *fmt, ...) {
  char name[var_name_max];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(name, sizeof name, fmt, ap);
  va_end(ap);
  const char *v = get_record(name, &var);
  if (!v) {
    log_info("%s %d %s not found", func, line, name);
    exit(1);
  }
  return v;
}

int register_action(const char *name, action_handler handler) {
  char *s = nullptr;
  if (asprintf(&s, "%s=%p", name, reinterpret_cast<void *>(handler)) < 0) return -1;
  return put_record(s, &act);
}

action_handler find_action(const char *name) {
  const char *v = get_record(name, &act);
  void *p = nullptr;
  if (!v || sscanf(v, "%p", &p) != 1) return nullptr;
  return reinterpret_cast<action_handler>(p);
}

void purge_disk_vars(int first) {
  DBG("purging disk vars");
  // Deletion shifts records backwards, so every removal restarts the scan.
  bool removed = true;
  while (removed) {
    removed = false;
    for (uint32_t i = 0; i < table_size(&var); i++) {
      if (!table_is_used(&var, i)) continue;
      char *key = var.buckets[i].key;
      if (!is_slot_var_at_or_above(key, first)) continue;
      DBG("removing %s", key);
      free(key);
      table_delete(&var, i);
      removed = true;
      break;
    }
  }
}

void put_reservedNames() {
  for (int i = 0; reserved_names[i]; i++) {
    const char *prev = i ? get_var("reservedNames") : nullptr;
    if (prev)
      put_var("reservedNames=%s,%s", prev, reserved_names[i]);
    else
      put_var("reservedNames=%s", reserved_names[i]);
  }
}

int is_reserved_name(const char *name) {
  for (int i = 0; reserved_names[i]; i++)
    if (strcmp(reserved_names[i], name) == 0) return 1;
  return 0;
}

int is_array_slot(int slot) { return slot >= 0 && slot < MAX_ARRAYSZ; }
int is_parity_slot(int slot) { return slot == 0 || slot == MAX_ARRAYSZ - 1; }
int is_data_slot(int slot) { return slot > 0 && slot < MAX_ARRAYSZ - 1; }
int is_pool_slot(int slot) { return slot >= pool_first && slot < pool_first + pool_count; }
int is_flash_slot(int slot) { return slot >= flash_first && slot < flash_first + flash_count; }

int is_fs_slot(int slot) { return slot < flash_first && get_var("diskFsType.%i", slot); }

int is_profile_slot(int slot) {
  return slot < flash_first && !get_var("diskFsType.%i", slot) &&
         get_var("diskFsProfile.%i", slot);
}

int is_configured_slot(int slot) {
  int n = atoi(NEED_VAR("SYS_ARRAY_SLOTS"));
  if (n < 2) n = 2;
  return slot < n - 1 || slot >= MAX_ARRAYSZ - 1;
}

int disk_idx(const char *name) {
  for (int slot = 0; slot < slot_count; slot++)
    if (strcmp(NEED_VAR("diskIdent.%i", slot), name) == 0) return slot;
  return -1;
}

int find_disk_idx(const char *name, int *slot) {
  int i = disk_idx(name);
  if (i < 0) return 0;
  if (slot) *slot = i;
  return 1;
}

int subpool_idx(const char *pool, const char *subpool) {
  char name[var_name_max];
  snprintf(name, sizeof name, "%s~%s", pool, subpool);
  return disk_idx(name);
}

std::string disk_mountdir(int slot) {
  if (slot == flash_first) return "/boot";
  return std::string("/mnt/") + NEED_VAR("diskIdent.%i", slot);
}

int disk_fs_type(int slot, std::string *type, int *encrypted) {
  const char *v = get_var("diskFsType.%i", slot);
  if (!v) return 0;
  const char *luks = strstr(v, "luks:");
  if (type) *type = luks ? luks + 5 : v;
  if (encrypted) *encrypted = luks ? 1 : 0;
  return 1;
}

int array_started() { return strcmp(NEED_VAR("mdState"), "STARTED") == 0; }

int copy_running() { return copy_thread_running[0].load() || copy_thread_running[1].load(); }

const char *partition_suffix(const char *device) {
  size_t n = strlen(device);
  return n && isdigit(static_cast<unsigned char>(device[n - 1])) ? "p1" : "1";
}

const char *danger(const char *device) {
  const char *flash = NEED_VAR("flashDevice");
  std::string part1 = std::string(flash) + partition_suffix(flash);
  if (strcmp(device, flash) == 0 || part1 == device) {
    log_info("BUG: invalid target: %s", device);
    exit(1);
  }
  return device;
}
