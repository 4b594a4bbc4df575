// The variable table `var`, the action table `act`, the state lock, and the small slot and
// variable accessors that every subsystem reads.
//
// All state the web GUI can see lives in `var` as text. A value returned by get_var or
// need_var is borrowed: it is valid only until that variable is next written, and only
// under the state lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>

#include "state/table.h"

extern record_table var;
extern record_table act;

// The one process-wide, non-recursive lock over `var` and every command.
extern pthread_mutex_t state_lock;

// "name=value" sets, "name" alone deletes (-1 when it did not exist). -1 also when memory
// for the write cannot be had.
int put_var(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The value, or nullptr. The formatted name is cut to 259 characters.
const char *get_var(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The value read as a number (atoi), 0 when the variable is missing.
int get_var_int(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Like get_var for a variable that start-up or the slot import guarantees; a missing one is
// a broken invariant and ends the process with "<func> <line> <name> not found".
const char *need_var(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
#define NEED_VAR(...) need_var(__func__, __LINE__, __VA_ARGS__)

// Actions: handlers run by a field of the same name (the result is exec_queries' result).
using action_handler = int (*)(const char *name, const char *value);
int register_action(const char *name, action_handler handler);
action_handler find_action(const char *name);

// The slot space. Array slots 0..MAX_ARRAYSZ-1 (0 parity, 29 second parity, 1..28 data),
// then the pool slots, then the flash slot. Maintained by the slot import.
constexpr int MAX_ARRAYSZ = 30;
extern int slot_count;
extern int pool_first;
extern int pool_count;
extern int flash_first;
extern int flash_count;

// Set while the parity-swap copy thread of the parity slot [0] or the second parity slot
// [1] runs.
extern std::atomic<bool> copy_thread_running[2];

// Removes every "disk*" and "rdev*" variable whose index (after the last point) is >= first.
void purge_disk_vars(int first);

void put_reservedNames();
int is_reserved_name(const char *name);

int is_array_slot(int slot);
int is_parity_slot(int slot);
int is_data_slot(int slot);
int is_pool_slot(int slot);
int is_flash_slot(int slot);
int is_fs_slot(int slot);
int is_profile_slot(int slot);
int is_configured_slot(int slot);

int disk_idx(const char *name);
int find_disk_idx(const char *name, int *slot);
int subpool_idx(const char *pool, const char *subpool);
std::string disk_mountdir(int slot);
// 1 when "diskFsType.<slot>" exists; the type without its "luks:" prefix and whether it had it.
int disk_fs_type(int slot, std::string *type, int *encrypted);
int array_started();
int copy_running();
// "p1" for names ending in a digit (nvme0n1p1), "1" otherwise (sdb1).
const char *partition_suffix(const char *device);
// Every destructive tool call passes its target through here; the boot device or its
// partition 1 ends the process.
const char *danger(const char *device);
