// Device inventory and identification. See inventory.h.
//
// The parsing of sysfs link targets and by-id names is kept apart from the reading, so
// the rules that decide what a device is called can be checked on their own.
#include "devices/inventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devices/luks.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/stream.h"
#include "util/text.h"

namespace {

constexpr size_t link_max = 260;  // link targets read, terminator included
constexpr size_t id_max = 79;

constexpr struct {
  const char *prefix;
  const char *transport;
} id_prefixes[] = {
    {"ata-", "ata"},   {"scsi-SATA_", "scsi-SATA"}, {"scsi-1ATA_", "scsi-1ATA"}, {"scsi-", "scsi"},
    {"usb-", "usb"},   {"nvme-", "nvme"},           {"virtio-", "virtio"},
};

// The path component that starts at `marker` (e.g. "/host"), without its slash, or empty.
std::string component_at(std::string_view target, std::string_view marker) {
  size_t at = target.find(marker);
  if (at == std::string_view::npos) return {};
  std::string_view rest = target.substr(at + 1);
  return std::string(rest.substr(0, rest.find('/')));
}

bool ends_in_digit(std::string_view s) {
  return !s.empty() && isdigit(static_cast<unsigned char>(s.back()));
}

std::string squeeze_underscores(std::string_view id) {
  std::string out;
  for (char c : id)
    if (c != '_' || out.empty() || out.back() != '_') out += c;
  return out;
}

// The first value of each of the two udev properties of the device.
void udev_model_serial(const char *name, std::string *model, std::string *serial) {
  stream *s = stream_open("exec /sbin/udevadm info -q property -n /dev/%s 2>&1", name);
  bool have_model = false, have_serial = false;
  while (s && stream_getline(s) >= 0) {
    if (const char *v = text_after(s->line, "ID_MODEL="); v && !have_model) {
      *model = v;
      have_model = true;
    } else if (const char *w = text_after(s->line, "ID_SCSI_SERIAL="); w && !have_serial) {
      *serial = w;
      have_serial = true;
    }
  }
  stream_close(s);
}

// A number from a sysfs attribute file; false when it cannot be read.
bool read_attribute(const char *fmt, const char *name, unsigned long long *value) {
  char path[512];
  snprintf(path, sizeof path, fmt, name);
  FILE *f = fopen(path, "re");
  if (!f) return false;
  bool ok = fscanf(f, "%llu", value) == 1;
  fclose(f);
  return ok;
}

}  // namespace

bool classify_block_link(std::string_view target, std::string *name, std::string *host,
                         bool *virtio) {
  *virtio = false;
  size_t block = target.find("/block/");
  bool sd_hd = target.find("/block/sd") != std::string_view::npos ||
               target.find("/block/hd") != std::string_view::npos;
  if (sd_hd) {
    if (ends_in_digit(target)) return false;  // a partition
    *name = std::string(target.substr(block + 7));
    *host = component_at(target, "/host");
    if (host->empty()) *host = component_at(target, "/ide");
    return !name->empty();
  }
  if (size_t nv = target.find("/nvme/nvme"); nv != std::string_view::npos) {
    std::string_view rest = target.substr(nv + 6);  // "nvme0/nvme0n1"
    if (rest.find('p') != std::string_view::npos) return false;
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return false;
    *host = std::string(rest.substr(0, slash));
    std::string_view next = rest.substr(slash + 1);
    *name = std::string(next.substr(0, next.find('/')));
    return !name->empty();
  }
  if (target.find("/block/vd") != std::string_view::npos) {
    if (ends_in_digit(target)) return false;
    *name = std::string(target.substr(block + 7));
    *host = component_at(target, "/virtio");
    *virtio = true;
    return !name->empty();
  }
  return false;
}

bool parse_by_id_name(std::string_view entry, std::string *transport, std::string *id) {
  for (const auto &p : id_prefixes) {
    if (entry.substr(0, strlen(p.prefix)) != p.prefix) continue;
    *transport = p.transport;
    std::string_view rest = entry.substr(strlen(p.prefix)).substr(0, id_max);
    *id = strcmp(p.transport, "nvme") == 0 ? squeeze_underscores(rest) : std::string(rest);
    return true;
  }
  return false;
}

std::string compose_udev_id(const std::string &model, const std::string &serial,
                            const std::string &old_id) {
  std::string id;
  for (const std::string *part : {&model, &serial}) {
    std::string cleaned;
    append_ident(cleaned, part->c_str(), part->size());
    // a part with no room left goes with its "_", so the id never passes 79 characters
    if (cleaned.empty() || id.size() >= id_max - 1) continue;
    id += cleaned.substr(0, id_max - 1 - id.size());
    id += '_';
  }
  if (id.size() < id_max) id += old_id.substr(0, id_max - id.size());
  return id;
}

std::string_view serial_suffix(std::string_view id) {
  size_t u = id.rfind('_');
  return u == std::string_view::npos ? id : id.substr(u + 1);
}

int get_device_id(const char *name, std::string *transport, std::string *id) {
  struct dirent **entries = nullptr;
  int n = scandir("/dev/disk/by-id", &entries, not_hidden, versionsort);
  if (n < 0) return -1;
  int found = 0;
  for (int i = 0; i < n; i++) {
    const char *entry = entries[i]->d_name;
    char target[link_max];
    if (!found && !strstr(entry, "-part") &&
        readlink_at("/dev/disk/by-id", entry, target, sizeof target) >= 0) {
      const char *base = strrchr(target, '/');
      base = base ? base + 1 : target;
      if (strcmp(base, name) == 0 && parse_by_id_name(entry, transport, id)) {
        if (*transport == "scsi" && id->find('_') == std::string::npos) {
          std::string model, serial;
          udev_model_serial(name, &model, &serial);
          *id = compose_udev_id(model, serial, *id);
        }
        found = 1;
      }
    }
    free(entries[i]);
  }
  free(entries);
  return found;
}

int get_device_size(const char *name, uint64_t *sector_size, uint64_t *sectors) {
  std::string path = std::string("/dev/") + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOMEDIUM) ERR("open: %s", path.c_str());
    return -1;
  }
  uint64_t bytes = 0;
  int ssz = 0;
  int rc = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) < 0) {
    ERR("ioctl BLKGETSIZE64: %s", path.c_str());
    rc = -1;
  } else if (ioctl(fd, BLKSSZGET, &ssz) < 0 || ssz <= 0) {
    ERR("ioctl BLKSSZGET: %s", path.c_str());
    rc = -1;
  } else {
    *sector_size = static_cast<uint64_t>(ssz);
    *sectors = bytes / static_cast<uint64_t>(ssz);
  }
  close(fd);
  return rc;
}

device *device_by_name(const char *name) {
  for (device &d : devices)
    if (d.presence != device_free && d.name == name) return &d;
  return nullptr;
}

device *device_by_id(const char *id) {
  std::string_view suffix = serial_suffix(id);
  for (device &d : devices)
    if (d.presence != device_free && serial_suffix(d.id) == suffix) return &d;
  return nullptr;
}

device *device_in_slot(int slot) {
  for (device &d : devices)
    if (d.claims && d.slot == slot) return &d;
  return nullptr;
}

void unassign_slots(int first, int count) {
  for (device &d : devices)
    if (d.claims && d.slot >= first && d.slot < first + count) d.claims = 0;
}

void name_unassigned_devices() {
  int n = 0;
  for (device &d : devices)
    if (d.presence != device_free && !d.claims) d.ident = "dev" + std::to_string(++n);
}

int find_disk(int first, int count, const char *key, const char *value) {
  for (int i = 0; i < count; i++)
    if (strcmp(NEED_VAR("%s.%i", key, first + i), value) == 0) return i;
  return -1;
}

device *device_by_partition(const char *name) {
  if (strncmp(name, "/dev/", 5) == 0) name += 5;
  if (strncmp(name, "mapper/", 7) == 0) name += 7;
  if (strncmp(name, "md", 2) != 0) {
    for (device &d : devices)
      if (d.presence != device_free && d.name + partition_suffix(d.name.c_str()) == name) return &d;
    return nullptr;
  }
  int i = find_disk(0, MAX_ARRAYSZ, "diskName", name);
  if (i < 0) return nullptr;
  return device_by_name(NEED_VAR("rdevName.%i", i));
}

int device_inventory(int keep_claims) {
  for (device &d : devices) {
    if (d.presence != device_free) d.presence = device_unseen;
    if (!keep_claims) d.claims = 0;
  }
  shcmd_test("udevadm settle");

  DIR *dir = opendir("/sys/dev/block");
  if (!dir) return -1;
  int changed = 0;
  while (struct dirent *e = readdir(dir)) {
    if (!not_hidden(e)) continue;
    char target[link_max];
    if (readlink_at("/sys/dev/block", e->d_name, target, sizeof target) < 0) continue;
    std::string name, host;
    bool virtio;
    if (!classify_block_link(target, &name, &host, &virtio)) continue;
    const char *n = name.c_str();
    if (virtio && shcmd_test("grep -q '/dev/%s ' /proc/mounts", shell_quote(n)) == 0) {
      DBG("ignoring mounted /dev/%s", n);
      continue;
    }
    std::string transport, id;
    if (get_device_id(n, &transport, &id) != 1) {
      INFO("device /dev/%s problem getting id\n", n);
      continue;
    }
    uint64_t sector_size = 0, sectors = 0;
    if (get_device_size(n, &sector_size, &sectors) < 0) continue;
    if (sectors == 0) {
      INFO("device /dev/%s has size zero\n", n);
      continue;
    }
    if (sector_size != 512 && sector_size != 4096) {
      INFO("device /dev/%s unsupported sector size: %lu\n", n, static_cast<unsigned long>(sector_size));
      continue;
    }
    unsigned long long rotational, discard, removable;
    if (!read_attribute("/sys/block/%s/queue/rotational", n, &rotational)) {
      INFO("device /dev/%s problem reading rotational\n", n);
      continue;
    }
    if (!read_attribute("/sys/block/%s/queue/discard_max_hw_bytes", n, &discard)) {
      INFO("device /dev/%s problem reading discard\n", n);
      continue;
    }
    if (!read_attribute("/sys/block/%s/removable", n, &removable)) {
      INFO("device /dev/%s problem reading removable\n", n);
      continue;
    }
    if (device *known = device_by_id(id.c_str())) {
      known->presence = device_present;
      // The same disk under a new kernel name (re-plugged between two scans): every
      // command built from the old name would reach whatever disk has it now.
      if (known->name != name) {
        INFO("renamed: %s (%s) now (%s)", id.c_str(), known->name.c_str(), n);
        known->name = name;
        known->host = host;
        changed = 1;
      }
      continue;
    }
    INFO("online: %s (%s) %lu %llu", id.c_str(), n, static_cast<unsigned long>(sector_size),
         static_cast<unsigned long long>(sectors));
    device d;
    d.name = name;
    d.host = host;
    d.transport = transport;
    d.id = id;
    d.rotational = static_cast<int32_t>(rotational);
    d.discard = discard ? 1 : 0;
    d.removable = static_cast<int32_t>(removable);
    d.sector_size = sector_size;
    d.sectors = sectors;
    d.presence = device_present;
    devices.push_back(std::move(d));
    changed = 1;
  }
  closedir(dir);

  for (device &d : devices) {
    if (d.presence != device_unseen) continue;
    INFO("offline: %s (%s) %lu %llu", d.id.c_str(), d.name.c_str(),
         static_cast<unsigned long>(d.sector_size), static_cast<unsigned long long>(d.sectors));
    // A mapping over a vanished device only holds stale state; a returning disk reopens it.
    if (d.slot >= 0 && d.slot < slot_count) disk_luksClose(d.slot);
    d.presence = device_free;
    d.reads = d.writes = d.reads_base = d.writes_base = d.io_total = d.last_io = 0;
    d.no_spin_control = d.spun_up = d.smart_enabled = d.temp_known = d.temp = 0;
    changed = 1;
  }
  return changed;
}

int cmdHotplug(const char *) {
  // While stopped, the status refresh rescans by itself.
  const char *state = get_var("mdState");
  if (state && strcmp(state, "STARTED") == 0) {
    device_inventory(1);
    name_unassigned_devices();
  }
  return 0;
}
