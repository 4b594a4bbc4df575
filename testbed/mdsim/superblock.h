// The array superblock: what the array is made of, kept in one file between loads.
//
// File format (text, one item a line, LF line ends, at most 512 bytes a line):
//
//     mdsim-superblock 1            magic and format version; anything else is refused
//     name=<array name>
//     events=<n>                    raised by every write of the file
//     updated=<unix time>           time of the last write
//     state=<0|1>                   1 while the array is started: a 1 found at load means
//                                   the array was not stopped cleanly
//     synced=<unix time>            start of the last parity sync or check (0: never)
//     synced2=<unix time>           its end (0 while it runs or never ran)
//     syncErrs=<n>                  mismatches it found (4 KiB blocks per parity)
//     syncExit=<n>                  0 completed, -4 cancelled, -5 stopped by an I/O error
//     slot.<n>=<id> <KiB> <state>   one line per recorded slot 0..29; state is ok,
//                                   disabled (contents only through parity) or invalid
//                                   (device present, contents to be rebuilt)
//
// Unknown keys are ignored, so a newer writer's file still loads. The file is replaced
// atomically: written to PATH.new, flushed, renamed over PATH, and the directory flushed.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace mdsim {

constexpr int kSlots = 30;
constexpr int kP = 0;
constexpr int kQ = 29;
inline bool is_parity(int slot) { return slot == kP || slot == kQ; }

enum class SlotState { none, ok, disabled, invalid };

const char* slot_state_name(SlotState s);

struct SbSlot {
  std::string id;          // device id; empty with SlotState::none
  uint64_t size_kib = 0;   // size of the member's contents
  SlotState state = SlotState::none;
};

struct Superblock {
  std::string name;
  uint64_t events = 0;
  int64_t updated = 0;
  int state = 0;
  int64_t synced = 0;
  int64_t synced2 = 0;
  uint64_t sync_errs = 0;
  int sync_exit = 0;
  std::array<SbSlot, kSlots> slot{};

  bool empty() const;
  // Slots the array spans: the highest recorded data slot plus both parity slots.
  int num_disks() const;
};

// 0, or -1 with why set (a missing file is an empty superblock, not an error).
int superblock_load(const std::string& path, Superblock& sb, std::string& why);
int superblock_parse(const std::string& text, Superblock& sb, std::string& why);
std::string superblock_format(const Superblock& sb);
// Writes atomically; 0 or -errno.
int superblock_save(const std::string& path, const Superblock& sb);

}  // namespace mdsim
