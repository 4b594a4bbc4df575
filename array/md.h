// The md driver interface and the import of devices into slots.
//
// The parity array is run by the md driver, a kernel module: the daemon sends it one-line
// commands through /proc/mdcmd and reads its whole status, key=value lines, from
// /proc/mdstat into the variables. The array slots 0-29 are the driver's (0 and 29 the
// parity disks); pool slots follow, then the flash slot. All of it runs with the state lock
// held.
#pragma once

#include <atomic>

#include "devices/device.h"

inline constexpr char mdcmd_path[] = "/proc/mdcmd";
inline constexpr char mdstat_path[] = "/proc/mdstat";

// Percent done of the copy onto the first and second parity slot (0-100), written by the
// disk-copy worker.
extern std::atomic<int> copy_percent[2];

// Unloads the driver, quietly; the next status refresh loads it again and imports afresh.
void unload_md_driver();
// One command of at most 127 characters in one write. 0, or -1 (logged) when the driver
// refuses it or is not there.
int mdcmd(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Reads the driver's status into the variables. -1 when the driver is not loaded.
int mdstatus();
// Mode 0 loads the driver and imports every slot's device; mode 1 starts the array. 0, or
// -1 when the start failed.
int load_md_driver(int mode);
// Claims the device the user picked for the slot, or the one the slot records.
device *assign_device_by_slot(int slot);
device *import_pool_device(int slot);
// Accepts the present device as the one the pool slot records.
void record_disk_info(int slot);
// 1 when the array is started, else 0.
int mdcmd_start(const char *state);
void mdcmd_stop();
void mdcmd_check(const char *option);
void mdcmd_nocheck(const char *option);
void set_md_tuning();
int tune_queue_all();
