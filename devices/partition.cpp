// Partition layouts. See partition.h.
//
// A layout is recognised by comparing the device's first sector with the exact MBR this
// daemon would write for it, so a table written by anything else is "unknown" and is never
// taken for one of ours; a layout that cannot be read is "error", never a reason to write.
#include "devices/partition.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "devices/device.h"
#include "devices/inventory.h"
#include "devices/luks.h"
#include "pools/pool_config.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/stream.h"
#include "util/text.h"

namespace {

constexpr const char *layout_texts[] = {nullptr,
                                        "MBR: unaligned",
                                        "MBR: 4KiB-aligned",
                                        "GPT: 4KiB-aligned",
                                        "MBR: 1MiB-aligned",
                                        "GPT: 1MiB-aligned"};
constexpr uint64_t layout_starts[] = {0, 63, 64, 64, 2048, 2048};
constexpr uint32_t mbr_starts[] = {63, 64, 2048};
constexpr int mbr_codes[] = {1, 2, 4};

bool is_gpt(int code) { return code == 3 || code == 5; }

void put_le32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool same(const unsigned char *a, const unsigned char *b, size_t from, size_t to) {
  return memcmp(a + from, b + from, to - from) == 0;
}

// The protective-MBR template, with the disk's FE in byte 451 accepted for FF.
void protective_template(unsigned char *t, unsigned type, const unsigned char *sector,
                         uint64_t sectors) {
  mbr_template(t, type, 1, sectors);
  if (sector[451] == 0xFE) t[451] = 0xFE;
}

// The first logical sector of the device, in a buffer of mbr_buffer_size bytes.
bool read_first_sector(const char *name, unsigned char *buf, uint64_t sector_size) {
  std::string path = std::string("/dev/") + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ERR_AS("ckmbr", "open: %s", path.c_str());
    return false;
  }
  size_t want = sector_size > mbr_buffer_size ? mbr_buffer_size : static_cast<size_t>(sector_size);
  ssize_t n = pread(fd, buf, want, 0);
  close(fd);
  if (n != static_cast<ssize_t>(want)) {
    ERR_AS("ckmbr", "read: %s", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

const char *layout_text(int code) {
  return code >= 1 && code <= 5 ? layout_texts[code] : nullptr;
}

uint64_t layout_start(int code) { return code >= 1 && code <= 5 ? layout_starts[code] : 0; }

uint64_t layout_size_kib(int code, uint64_t sectors, uint64_t sector_size) {
  uint64_t start = layout_start(code);
  if (!start || sectors <= start) return 0;
  if (!is_gpt(code)) return (sectors - start) / 2 / 4 * 4;
  if (sector_size == 4096) {
    uint64_t used = start / 8 + 5;
    return sectors > used ? (sectors - used) * 4 : 0;
  }
  return sectors > start + 33 ? (sectors - start - 33) / 2 / 4 * 4 : 0;
}

int default_layout(uint64_t sector_size, uint64_t sectors, int rotational) {
  if (sector_size == 512 && sectors <= 4294967295ull) return rotational ? 2 : 4;
  return rotational ? 3 : 5;
}

void mbr_template(unsigned char *buf, unsigned type, uint32_t start, uint64_t sectors) {
  memset(buf, 0, mbr_buffer_size);
  unsigned char *e = buf + 446;
  e[0] = 0;
  if (start == 1) {
    e[1] = 0, e[2] = 2, e[3] = 0;
    e[5] = e[6] = e[7] = 0xFF;
  }
  e[4] = static_cast<unsigned char>(type);
  put_le32(e + 8, start);
  uint64_t length = sectors > start ? sectors - start : 0;
  put_le32(e + 12, length > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(length));
  buf[510] = 0x55;
  buf[511] = 0xAA;
}

first_sector_kind classify_first_sector(const unsigned char *sector, uint64_t sectors, int *code) {
  unsigned char t[mbr_buffer_size];
  for (int i = 0; i < 3; i++) {
    mbr_template(t, 0x83, mbr_starts[i], sectors);
    if (same(t, sector, 446, 512)) {
      *code = mbr_codes[i];
      return sector_mbr;
    }
  }
  for (uint32_t start : mbr_starts) {
    mbr_template(t, 0, start, sectors);
    if (same(t, sector, 0, 512)) return sector_factory_erased;
  }
  protective_template(t, 0xEE, sector, sectors);
  if (same(t, sector, 446, 512)) return sector_protective_gpt;
  protective_template(t, 0, sector, sectors);
  if (same(t, sector, 0, 512)) return sector_factory_erased;
  return sector_unknown;
}

int gpt_layout_of(uint64_t part_kib, uint64_t sectors, uint64_t sector_size) {
  for (int code : {3, 5})
    if (part_kib == layout_size_kib(code, sectors, sector_size)) return code;
  return 0;
}

int ckmbr(const char *name, int *code, uint64_t *start, uint64_t *size_kib) {
  *code = 0;
  *start = *size_kib = 0;
  device *d = device_by_name(name);
  if (!d) return -1;
  unsigned char sector[mbr_buffer_size] = {};
  if (!read_first_sector(name, sector, d->sector_size)) return -1;

  int result = 2;
  switch (classify_first_sector(sector, d->sectors, code)) {
    case sector_mbr: result = 0; break;
    case sector_factory_erased: result = 1; break;
    case sector_unknown: result = 2; break;
    case sector_protective_gpt: {
      std::string part = std::string("/dev/") + name + partition_suffix(name);
      int fd = open(part.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        ERR("open: %s", part.c_str());
        break;
      }
      uint64_t bytes = 0;
      int rc = ioctl(fd, BLKGETSIZE64, &bytes);
      close(fd);
      if (rc < 0) {
        ERR("ioctl BLKGETSIZE64: %s", part.c_str());
        return -1;
      }
      uint64_t kib = bytes / 1024;
      if (d->sector_size == 512) kib = kib / 4 * 4;
      if (int gpt = gpt_layout_of(kib, d->sectors, d->sector_size)) {
        *code = gpt;
        result = 0;
      } else {
        // a GPT of someone else's making: only a blank protective MBR counts as erased
        result = 2;
      }
      break;
    }
  }
  if (result != 0) *code = default_layout(d->sector_size, d->sectors, d->rotational);
  *start = layout_start(*code);
  *size_kib = layout_size_kib(*code, d->sectors, d->sector_size);
  return result;
}

int put_rdevFormat(int slot, const char *name, uint64_t *start, uint64_t *size_kib) {
  int code = 0;
  int result = ckmbr(name, &code, start, size_kib);
  const char *text;
  switch (result) {
    case -1: text = "error"; break;
    case 1: text = "factory-erased"; break;
    case 2: text = "unknown"; break;
    default:
      text = layout_text(code);
      if (!text) {
        ERR("format %d", code);
        text = "";
      }
  }
  put_var("rdevFormat.%i=%d", slot, code);
  put_var("rdevFormatString.%i=%s", slot, text);
  return result;
}

int valid_rdevFormat(int slot) {
  const char *text = get_var("rdevFormatString.%i", slot);
  return text && strchr(text, ':') != nullptr;
}

int mkmbr(const char *name, int code) {
  device *d = device_by_name(name);
  if (!d || !layout_text(code)) {
    // an unreadable layout leaves no code to write: never guess one
    ERR("no layout %d for %s", code, name);
    return -1;
  }
  int rc = 0;
  if (!is_gpt(code)) {
    uint32_t start = static_cast<uint32_t>(layout_start(code));
    INFO("writing MBR on disk (%s) with partition 1 offset %u, erased: %d", name, start, 0);
    unsigned char t[mbr_buffer_size];
    mbr_template(t, 0x83, start, d->sectors);
    std::string path = std::string("/dev/") + danger(name);
    int fd = open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
      ERR("open: %s", path.c_str());
      rc = -1;
    } else {
      size_t len = d->sector_size > mbr_buffer_size ? mbr_buffer_size : static_cast<size_t>(d->sector_size);
      if (pwrite(fd, t, len, 0) != static_cast<ssize_t>(len)) {
        ERR("write: %s", path.c_str());
        rc = -1;
      }
      close(fd);
    }
  } else {
    const char *offset = code == 3 ? "32K" : "1M";
    INFO("writing GPT on disk (%s), with partition 1 byte offset %siB, erased: %d", name, offset, 0);
    shcmd("sgdisk -Z /dev/'%s'", shell_quote(danger(name)));
    shcmd("sgdisk -o -a 8 -n 1:%s:0 /dev/'%s'", offset, shell_quote(danger(name)));
  }
  if (rc == 0) {
    sleep(1);
    INFO("re-reading (%s) partition table", name);
    std::string path = std::string("/dev/") + name;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      ERR("open: %s", path.c_str());
      rc = -1;
    } else {
      if (ioctl(fd, BLKRRPART) < 0) ERR("ioctl BLKRRPART: %s", path.c_str());
      close(fd);
    }
  }
  shcmd("udevadm settle");
  return rc;
}

int mkmbr_disk(int slot) {
  if (valid_rdevFormat(slot)) return 0;
  const char *name = NEED_VAR("rdevName.%i", slot);
  std::string dev = name;  // the variable may be rewritten below
  mkmbr(dev.c_str(), atoi(NEED_VAR("rdevFormat.%i", slot)));
  uint64_t start, size;
  return put_rdevFormat(slot, dev.c_str(), &start, &size);
}

int disabled_data_disk(int slot) {
  if (!is_data_slot(slot)) return 0;
  const char *status = get_var("rdevStatus.%i", slot);
  return status && strstr(status, "_DSBL") != nullptr;
}

std::string initialize_disk(int slot, int encrypt) {
  disk_luksErase(slot);
  if (!disabled_data_disk(slot)) {
    mkmbr_disk(slot);
    // The table re-read has brought back the member's partition node that a started
    // array keeps out of direct use.
    if (is_array_slot(slot)) {
      const char *name = NEED_VAR("rdevName.%i", slot);
      shcmd_test("mv /dev/'%s%s' /tmp/orvan/dev", shell_quote(name), partition_suffix(name));
    }
  }
  if (get_var_int("rdevDiscard.%i", slot) != 0) {
    const char *name = NEED_VAR("diskName.%i", slot);
    if (shcmd("/sbin/blkdiscard /dev/'%s'", shell_quote(danger(name))) != 0) INFO("continuing...");
  }
  if (encrypt) disk_luksFormat(slot);
  const char *mapped = get_var("diskNameMapped.%i", slot);
  return mapped ? mapped : "";
}

std::string blkid_line_fsType(const std::string &line, std::string *uuid) {
  if (line.find("UUID=") == std::string::npos) return "";
  static constexpr struct {
    const char *tag, *type;
  } types[] = {{"zfs_member", "zfs"},     {"btrfs", "btrfs"}, {"xfs", "xfs"},
               {"reiserfs", "reiserfs"}, {"vfat", "vfat"},   {"crypto_LUKS", "luks"}};
  size_t at = line.find("TYPE=");
  std::string_view tail = at == std::string::npos ? "" : std::string_view(line).substr(at + 5);
  for (const auto &t : types) {
    if (tail.find(t.tag) == std::string::npos) continue;
    if (uuid) {
      std::string value = line.substr(line.find("UUID=") + 5);
      if (!value.empty() && value[0] == '"') value.erase(0, 1);
      *uuid = value.substr(0, value.find('"'));
    }
    return t.type;
  }
  return "";
}

std::string blkid_fsType(const char *name, std::string *uuid) {
  stream *s = stream_open_log("exec /sbin/blkid /dev/'%s' 2>&1", shell_quote(name));
  std::string line;
  while (s && stream_getline_log(s) >= 0) {
    if (s->line[0] != '\0') {
      line = s->line;
      break;
    }
  }
  stream_close(s);
  return blkid_line_fsType(line, uuid);
}

std::string disk_blkid_fsType(int slot, std::string *uuid, int *luks) {
  const char *ident = get_var("diskIdent.%i", slot);
  int slots = total_pool_slots(slot, ident ? ident : "");
  for (int i = slot; i < slot + slots; i++) {
    const char *mapped = get_var("diskNameMapped.%i", i);
    if (!mapped || !*mapped) continue;
    std::string name = mapped;
    std::string type = blkid_fsType(name.c_str(), uuid);
    if (type.empty()) continue;
    if (luks) *luks = name.find("mapper/") != std::string::npos;
    return type;
  }
  return "";
}

int total_pool_slots(int slot, const char *name) {
  int total = get_var_int("diskSlots.%i", slot);
  if (subpool_kind(name)) return total;
  while (next_subpool_kind(slot + total, name)) {
    int more = get_var_int("diskSlots.%i", slot + total);
    // A subpool slot without members would otherwise be counted forever.
    if (more <= 0) break;
    total += more;
  }
  return total;
}
