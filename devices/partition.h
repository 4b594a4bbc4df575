// Partition layouts: every device the daemon uses carries one partition, partition 1,
// spanning the disk, in one of five layouts.
//
//   code 1 "MBR: unaligned"     starts at 512-byte sector 63
//   code 2 "MBR: 4KiB-aligned"  64
//   code 3 "GPT: 4KiB-aligned"  64   (byte offset 32 KiB)
//   code 4 "MBR: 1MiB-aligned"  2048
//   code 5 "GPT: 1MiB-aligned"  2048 (byte offset 1 MiB)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t mbr_buffer_size = 4096;

// The text of a layout code, or nullptr for a code without one.
const char *layout_text(int code);
// Where partition 1 of a layout starts, in 512-byte sectors (0 for no layout).
uint64_t layout_start(int code);
// The size of partition 1 in KiB for a device of `sectors` logical sectors.
uint64_t layout_size_kib(int code, uint64_t sectors, uint64_t sector_size);
// The layout written on a blank or unknown device.
int default_layout(uint64_t sector_size, uint64_t sectors, int rotational);
// Fills the 4096-byte buffer with the MBR of one partition of `type` starting at `start`
// on a device of `sectors` logical sectors.
void mbr_template(unsigned char *buf, unsigned type, uint32_t start, uint64_t sectors);

// What a device's first sector shows, before partition 1 is looked at.
enum first_sector_kind {
  sector_mbr,             // one of the MBR layouts; *code says which
  sector_factory_erased,
  sector_protective_gpt,  // a GPT's protective MBR: partition 1 decides
  sector_unknown,
};
first_sector_kind classify_first_sector(const unsigned char *sector, uint64_t sectors, int *code);
// After a protective MBR: whether partition 1 of `part_kib` KiB is a GPT layout (its code),
// else 0.
int gpt_layout_of(uint64_t part_kib, uint64_t sectors, uint64_t sector_size);

// Result 0 recognised, 1 factory-erased, 2 unknown, -1 error; code, start and size of the
// layout found or of the default one.
int ckmbr(const char *name, int *code, uint64_t *start, uint64_t *size_kib);
// ckmbr, published as rdevFormat.<slot> and rdevFormatString.<slot>.
int put_rdevFormat(int slot, const char *name, uint64_t *start, uint64_t *size_kib);
int valid_rdevFormat(int slot);
// Writes the layout onto the device (never the boot device). 0 or -1.
int mkmbr(const char *name, int code);
int mkmbr_disk(int slot);

// Whether slot is a data slot that the driver has disabled (its rdevStatus holds "_DSBL").
int disabled_data_disk(int slot);
// Readies the slot's device for a new file system: old LUKS header erased, layout
// written, discarded, encrypted when asked. The name file systems use (diskNameMapped).
std::string initialize_disk(int slot, int encrypt);
// The type of a line of blkid's output: "" without a UUID or a known TYPE.
std::string blkid_line_fsType(const std::string &line, std::string *uuid = nullptr);
// The file-system type blkid finds on /dev/<name> ("" when none) and, when asked, its UUID.
std::string blkid_fsType(const char *name, std::string *uuid = nullptr);
// The type found on the first member of the slot's pool that has one; *luks tells whether
// the member that answered is a LUKS mapping.
std::string disk_blkid_fsType(int slot, std::string *uuid = nullptr, int *luks = nullptr);
// The slots of the pool at slot with its subpools.
int total_pool_slots(int slot, const char *name);
