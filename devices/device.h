// The device table: one record per block device ever seen since start.
//
// Records are appended and never removed, reordered or reused, so a device that comes back
// finds its record again and the unassigned-devices file keeps its order. A device that
// disappears is marked free and its record stays in place. The vector may reallocate:
// hold a record reference only within one operation, under the state lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct stream;

enum device_presence : int32_t {
  device_free = 0,       // the device is gone
  device_present = 1,
  device_unseen = 2,     // not yet seen by the scan that is running
};

struct device {
  std::string ident;      // diskIdent of the claiming slot, "flash", or "dev<N>" when unclaimed
  std::string name;       // kernel name: sdb, nvme0n1, vda
  std::string host;       // controller (host3, nvme0, virtio2), empty when unknown
  std::string transport;  // ata, scsi-SATA, scsi-1ATA, scsi, usb, nvme, virtio
  std::string id;         // stable id from /dev/disk/by-id, at most 79 characters
  int32_t rotational = 0;
  int32_t discard = 0;
  int32_t removable = 0;
  uint64_t sector_size = 0;  // logical sector size in bytes
  uint64_t sectors = 0;      // size in logical sectors
  int32_t presence = device_free;
  int32_t claims = 0;  // slots claiming the device: 0 or 1
  int32_t slot = -1;   // slot of the last claim
  uint64_t reads = 0, writes = 0;            // I/O operations completed
  uint64_t reads_base = 0, writes_base = 0;  // the counts at the last statistics reset
  uint64_t io_total = 0;  // sectors read plus written at the previous poll
  uint64_t last_io = 0;   // seconds; time of the last activity or spin-up, 0 while spun down
  int32_t no_spin_control = 0;
  int32_t spun_up = 1;
  int32_t smart_enabled = 0;
  int32_t temp_known = 0;
  int32_t temp = 0;
  stream *pending = nullptr;  // a running spin or SMART command
};

extern std::vector<device> devices;
