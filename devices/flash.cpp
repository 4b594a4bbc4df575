// Finding the boot device. See flash.h.
#include "devices/flash.h"

#include <limits.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>

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
