// A member device: the partition of an imported disk that holds one slot's contents.
//
// Block devices are read and written with O_DIRECT where the partition's place allows it,
// so what mdsim sees is what is on the disk, not a cached copy that another node of the
// same disk (its partition node, written by the daemon's disk copy) would not share.
// Regular files (members outside a world) go through the page cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace mdsim {

struct Member {
  int fd = -1;
  bool direct = false;   // opened with O_DIRECT
  uint64_t offset = 0;   // partition start on the device, bytes
  uint64_t size = 0;     // partition size, bytes
  dev_t rdev = 0;        // the block device's numbers, 0 for a file
  std::string name;
  uint64_t reads = 0, writes = 0;  // own counts, for members without sysfs counters
  uint64_t errors = 0;
};

// Opens path for a partition of size bytes at offset; 0 or -errno.
int member_open(const std::string& path, uint64_t offset, uint64_t size, Member& m);
void member_close(Member& m);
// off is relative to the partition; the part of [off, off+len) beyond its end reads as
// zeros and is not written. buf must be 4096-aligned, off and len multiples of 512.
int member_read(Member& m, uint64_t off, uint8_t* buf, size_t len);
int member_write(Member& m, uint64_t off, const uint8_t* buf, size_t len);
int member_sync(Member& m);

// The member's I/O counters (reads and writes completed), from the kernel's
// /sys/block/<name>/stat when that names this very device, else mdsim's own counts.
void member_counters(const Member& m, uint64_t& reads, uint64_t& writes);

}  // namespace mdsim
