// Finding the boot device. See flash.h.
#include "devices/flash.h"

#include <limits.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "devices/inventory.h"
#include "devices/partition.h"
#include "state/var.h"
#include "util/log.h"
#include "util/stream.h"
#include "util/text.h"

namespace {

constexpr char boot_label_link[] = "/dev/disk/by-label/ZARVO";

// The kernel name of the block device mounted at /boot, or empty.
std::string boot_mount_source() {
  stream *s = stream_open("/proc/mounts");
  std::string source;
  while (s && stream_getline(s) >= 0) {
    char dev[PATH_MAX], dir[PATH_MAX];
    if (sscanf(s->line, "%4095s %4095s", dev, dir) != 2) continue;
    if (strcmp(dir, "/boot") == 0 && strncmp(dev, "/dev/", 5) == 0) source = dev;
  }
  stream_close(s);
  if (source.empty()) return {};
  char real[PATH_MAX];
  if (!realpath(source.c_str(), real)) return {};
  const char *base = strrchr(real, '/');
  return base ? base + 1 : real;
}

// The kernel name the label link points at, or empty.
std::string labelled_partition() {
  char real[PATH_MAX];
  if (!realpath(boot_label_link, real)) return {};
  const char *base = strrchr(real, '/');
  return base ? base + 1 : real;
}

std::string first_line(const char *path) {
  stream *s = stream_open("%s", path);
  std::string line;
  if (s && stream_getline(s) >= 0) line = s->line;
  stream_close(s);
  return line;
}

// The product name as the disk reports it: its model attribute, else udev's ID_MODEL.
std::string product_of(const std::string &disk) {
  std::string product;
  std::string model = first_line(("/sys/block/" + disk + "/device/model").c_str());
  append_ident(product, model.c_str(), model.size());
  if (!product.empty()) return product;
  stream *s = stream_open("exec /sbin/udevadm info -q property -n /dev/%s 2>&1", disk.c_str());
  while (s && stream_getline(s) >= 0) {
    if (const char *v = text_after(s->line, "ID_MODEL=")) {
      append_ident(product, v, strlen(v));
      break;
    }
  }
  stream_close(s);
  return product;
}

}  // namespace

std::string disk_of_partition1(const std::string &partition) {
  size_t n = partition.size();
  if (n >= 3 && partition.compare(n - 2, 2, "p1") == 0 &&
      isdigit(static_cast<unsigned char>(partition[n - 3])))
    return partition.substr(0, n - 2);
  if (n >= 2 && partition[n - 1] == '1' && !isdigit(static_cast<unsigned char>(partition[n - 2])))
    return partition.substr(0, n - 1);
  return {};
}

bool find_boot_device(boot_device *out) {
  std::string partition = boot_mount_source();
  if (partition.empty()) partition = labelled_partition();
  std::string disk = disk_of_partition1(partition);
  if (disk.empty()) return false;
  out->name = disk;
  out->product = product_of(disk);
  return true;
}

void set_boot_device() {
  boot_device boot;
  if (!find_boot_device(&boot)) {
    INFO("no boot device: no disk has partition 1 mounted at /boot or labelled ZARVO");
    exit(1);
  }
  put_var("flashDevice=%s", boot.name.c_str());
  put_var("flashProduct=%s", boot.product.c_str());
  INFO("boot device: %s (%s)", boot.name.c_str(), boot.product.c_str());
}

int import_flash_device(int slot) {
  const char *name = NEED_VAR("flashDevice");
  device *d = device_by_name(name);
  // Without its boot device the daemon has nothing to protect or publish for the slot.
  if (!d) {
    INFO("Error: (%s) not present", name);
    exit(1);
  }
  if (d->claims) {
    INFO("Error: (%s) already assigned", name);
    exit(1);
  }
  d->claims = 1;
  d->slot = slot;
  d->ident = "flash";
  d->no_spin_control = 1;
  slot_count = slot + 1;

  std::string partition = d->name + partition_suffix(d->name.c_str());
  put_var("diskIdent.%i=flash", slot);
  put_var("diskType.%i=Flash", slot);
  put_var("diskComment.%i=Zarvo OS boot device", slot);
  put_var("diskExportable.%i=yes", slot);
  put_var("diskName.%i=%s", slot, partition.c_str());
  put_var("rdevName.%i=%s", slot, d->name.c_str());
  put_var("rdevId.%i=%s", slot, NEED_VAR("flashProduct"));
  put_var("rdevTransport.%i=%s", slot, d->transport.c_str());
  put_var("rdevRotational.%i=%i", slot, d->rotational);
  put_var("rdevDiscard.%i=%i", slot, d->discard);
  put_var("rdevRemovable.%i=%i", slot, d->removable);
  put_var("rdevStatus.%i=DISK_OK", slot);

  uint64_t start = 0, size_kib = 0;
  put_rdevFormat(slot, d->name.c_str(), &start, &size_kib);
  put_var("rdevOffset.%i=%llu", slot, static_cast<unsigned long long>(start));
  put_var("rdevSize.%i=%llu", slot, static_cast<unsigned long long>(size_kib));
  put_var("diskSize.%i=%llu", slot, static_cast<unsigned long long>(size_kib));

  put_var("rdevSpundown.%i=0", slot);
  put_var("rdevNumReads.%i=0", slot);
  put_var("rdevNumWrites.%i=0", slot);
  put_var("rdevNumErrors.%i=0", slot);
  put_var("rdevTemp.%i=*", slot);
  put_var("diskNumber.%i=%i", slot, slot);
  put_var("diskFsType.%i=%s", slot, blkid_fsType(partition.c_str()).c_str());
  put_var("diskFsStatus.%i=%s", slot, "Mounted");
  put_var("diskFsColor.%i=grey-off", slot);
  put_var("diskFsSize.%i=0", slot);
  put_var("diskFsFree.%i=0", slot);
  put_var("diskFsUsed.%i=0", slot);
  put_var("diskWarning.%i=", slot);
  put_var("diskCritical.%i=", slot);
  put_var("diskNameMapped.%i=%s", slot, partition.c_str());
  put_var("diskLuksState.%i=0", slot);
  put_var("diskAutotrim.%i=off", slot);
  put_var("diskCompression.%i=off", slot);
  put_var("diskSpindownDelay.%i=0", slot);
  put_var("diskSpinupGroup.%i=", slot);
  INFO("import %d flash device: (%s)", slot, d->name.c_str());
  return 1;
}
