// The array: its superblock, the imported members, and, while it is started, the role of
// every slot and the I/O of the array devices.
//
// Locking. `cmd` serializes commands (mdcmd writes) and is held across a whole start or
// stop; `io` guards everything else and is held for each array-device request, each sync
// chunk and each status snapshot. A start and a stop open and close mdsim's own FUSE
// files (the loop devices' backing files), whose requests need `io` on other FUSE
// threads: so they never hold `io` while they do that, only `cmd`. Order: cmd, then io.
//
// Parity invariant while started: for every byte offset, P is the XOR and Q the syndrome
// of the logical contents of the data slots, where a slot counts as zeros beyond its size.
// A slot being rebuilt is valid below its `rebuilt` mark and reconstructed above it, and
// writes go to its member as well, so the mark can only move forward.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "member.h"
#include "rules.h"
#include "superblock.h"

namespace mdsim {

constexpr uint64_t kChunk = 1 << 20;  // sync unit; requests are split at its boundaries
constexpr uint64_t kBlock = 4096;     // alignment of member I/O and of mismatch counts

struct SlotRun {
  Role role = Role::none;
  uint64_t size = 0;     // bytes of contents
  uint64_t rebuilt = 0;  // a rebuilding slot is valid below this offset
};

struct Tuning {
  long num_stripes = 1280, queue_limit = 80, sync_limit = 5;
  int write_method = 0;        // 0 read-modify-write, 1 reconstruct-write
  uint64_t sync_speed_kib = 0;  // KiB per second a sync may move; 0 unlimited
  bool invalid_set = false;
  InvalidSlots invalid;
};

struct SyncState {
  bool running = false, paused = false, correct = false;
  std::string action;
  uint64_t pos = 0, size = 0;  // bytes
  uint64_t errs = 0;
  int64_t mark_ms = 0;
  uint64_t mark_pos = 0;
  int64_t dt = 0;    // seconds of the last measured window
  uint64_t db = 0;   // KiB done in it
};

struct ArrayDevice {
  int loop_fd = -1;
  uint64_t rdev = 0;
  std::string node;  // e.g. /dev/md1p1
};

struct Array {
  std::mutex cmd;
  std::mutex io;
  std::string sb_path, mount_dir, dev_dir;
  Superblock sb;
  bool sb_dirty = false;  // the last write of the superblock failed
  Imports imports;
  std::array<Member, kSlots> members;
  bool started = false;
  uint64_t generation = 1;  // raised by every start and stop; stale handles see EIO
  std::array<SlotRun, kSlots> run;
  std::array<int, kSlots> opens{};
  std::array<ArrayDevice, kSlots> devices;
  Tuning tuning;
  SyncState sync;
  std::thread sync_thread;
  std::condition_variable sync_cv;
  bool sync_cancel = false;
};

Array& array();

// Recomputes every slot's role from the superblock and the imports; io held.
void apply_runtime();
// Writes the superblock (events and time raised); io held. 0 or -errno.
int save_superblock();
// The data slot serves an array device: present and valid, emulated or rebuilding.
bool serves_device(int slot);

// Array-device I/O, as the FUSE file of the slot sees it; bytes done or -errno.
long array_read(int slot, uint64_t generation, uint64_t off, uint8_t* out, size_t len);
long array_write(int slot, uint64_t generation, uint64_t off, const uint8_t* in, size_t len);
int array_flush();

// One sync chunk at off; io held. Adds the mismatched blocks to `mismatches`.
int sync_chunk(uint64_t off, size_t len, bool correct, uint64_t& mismatches);
// Bytes a sync runs over: the largest slot in use.
uint64_t sync_size();

int64_t now_ms();

}  // namespace mdsim
