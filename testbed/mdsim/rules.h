// The array's rules: what each slot's status is, what a start would do and record, and
// what a parity sync would do. Pure functions of the superblock and the imports, so the
// same code answers a stopped array's "what next" and runs the start.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "superblock.h"

namespace mdsim {

struct Import {
  bool present = false;
  std::string name;           // kernel name under the device directory
  uint64_t first_sector = 0;  // partition start in 512-byte sectors
  uint64_t size_kib = 0;
  bool erased = false;        // factory-erased: reads as zeros
  std::string id;
};
using Imports = std::array<Import, kSlots>;

// What a slot does while the array is started. A parity slot that is "emulated" is absent.
enum class Role { none, direct, emulated, rebuild };

struct InvalidSlots {
  int a = 99, b = 99;  // 99: none
};

struct Evaluation {
  std::array<std::string, kSlots> status;
  std::string md_state;
  int num_disks = 0, num_disabled = 0, num_invalid = 0, num_missing = 0, num_new = 0;
  int swap_p = 0, swap_q = 0;
};

// The recorded device is the imported one and big enough for what is recorded.
bool matches(const SbSlot& rec, const Import& imp);
const char* slot_status(const SbSlot& rec, const Import& imp);
Role role_of(const SbSlot& rec, const Import& imp);

// The data slot whose disabled member is the old disk of parity slot `parity` (a parity
// swap), or 0.
int find_swap(const Superblock& sb, const Imports& imp, int parity);

// The superblock that a start records. `invalid` applies to a new array only: the slots
// it names are to be rebuilt and every other slot is trusted, parity included.
Superblock plan_start(const Superblock& sb, const Imports& imp, const InvalidSlots* invalid);

// "" when the planned array can run, else the "ERROR:..." state that forbids the start.
std::string check_plan(const Superblock& before, const Superblock& plan, const Imports& imp);

Evaluation evaluate(const Superblock& sb, const Imports& imp, bool started);

// What a sync would do on the array `sb` records: "recon P", "recon D1 Q", "check P Q",
// or "check" when there is nothing it could check.
std::string sync_action(const Superblock& sb, const Imports& imp);

}  // namespace mdsim
