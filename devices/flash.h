// Finding the boot device: the disk whose partition 1 holds the boot volume.
#pragma once

#include <string>

struct boot_device {
  std::string name;     // kernel name of the disk: sda
  std::string product;  // the disk's own product name
};

// The disk whose partition 1 is mounted at /boot; when /boot is no mounted block device,
// the disk whose partition 1 carries the file-system label "ZARVO". false when neither.
bool find_boot_device(boot_device *out);

// The disk whose partition 1 is `partition` (sda1 -> sda, nvme0n1p1 -> nvme0n1), or empty.
std::string disk_of_partition1(const std::string &partition);

// Sets flashDevice and flashProduct; without a boot device the daemon cannot protect the
// boot volume from destructive commands, so it stops (exit 1).
void set_boot_device();

// Binds the boot device to the flash slot and publishes the slot's variables; 1. The
// process ends when the boot device is missing or already claimed.
int import_flash_device(int slot);
