// Device inventory and identification.
//
// A disk is known by its stable id from /dev/disk/by-id, never by its kernel name, which
// may change from boot to boot. The scan fills the device table (devices/device.h); a
// device that disappears keeps its record, marked free, and finds it again when it returns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "devices/device.h"

// The kernel name and controller of a /sys/dev/block link target that names a whole disk
// (sd, hd, nvme, vd); false for partitions and anything else. virtio disks are reported
// with *virtio set, since a mounted one is left out.
bool classify_block_link(std::string_view target, std::string *name, std::string *host,
                         bool *virtio);
// The transport and id a /dev/disk/by-id entry name gives, or false for names without a
// known prefix (wwn-…). The id is at most 79 characters; NVMe underscore runs shrink to one.
bool parse_by_id_name(std::string_view entry, std::string *transport, std::string *id);
// A plain scsi id rebuilt from udev's model and serial: model_serial_oldid within 79
// characters.
std::string compose_udev_id(const std::string &model, const std::string &serial,
                            const std::string &old_id);
// The text after an id's last "_", or the whole id.
std::string_view serial_suffix(std::string_view id);

// 1 found, 0 none, -1 when /dev/disk/by-id cannot be read.
int get_device_id(const char *name, std::string *transport, std::string *id);
// 0, or -1 (silent when the drive has no medium).
int get_device_size(const char *name, uint64_t *sector_size, uint64_t *sectors);

device *device_by_name(const char *name);
device *device_by_id(const char *id);
device *device_in_slot(int slot);
void unassign_slots(int first, int count);
void name_unassigned_devices();
// A partition name, with or without "/dev/" and "mapper/"; md devices through their slot.
device *device_by_partition(const char *name);
// The offset of the first slot first+i whose "<key>.<first+i>" equals value, or -1.
int find_disk(int first, int count, const char *key, const char *value);

// Rescans the block devices. 1 when a device appeared or disappeared, 0 when not, -1 when
// /sys/dev/block cannot be read. With keep_claims 0 every claim is dropped first.
int device_inventory(int keep_claims);

// The hot-plug command: rescans keeping claims while the array is started. 0.
int cmdHotplug(const char *value);
