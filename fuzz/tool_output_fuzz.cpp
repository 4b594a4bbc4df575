// Arbitrary bytes through the parsers of what the platform hands the daemon: a settings
// file or the md driver's status (both read by the settings reader, here from a memory
// file), the names of /dev/disk/by-id entries and /sys/dev/block link targets, udev's
// model and serial, and a line of blkid's output.
//
// The variables a run stores are deleted after it, so memory does not grow across runs;
// log lines are dropped.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "devices/inventory.h"
#include "devices/partition.h"
#include "state/config.h"
#include "state/var.h"
#include "util/log.h"

namespace {

void drop_line(int, const char *) {}


int memory_file = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  set_log_sink(drop_line);
  memory_file = memfd_create("settings", 0);
  if (memory_file < 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);

  if (ftruncate(memory_file, 0) != 0 || pwrite(memory_file, data, size, 0) != static_cast<ssize_t>(size))
    abort();
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", memory_file);
  read_tokens(path, "");
  get_config_idx(path, disk_slot_defaults, 3);
  clear_records(&var);

  std::string transport, id, name, host;
  parse_by_id_name(text, &transport, &id);
  bool virtio = false;
  classify_block_link(text, &name, &host, &virtio);
  size_t cut = text.find('\n');
  std::string first(text.substr(0, cut));
  std::string rest(cut == std::string_view::npos ? "" : text.substr(cut + 1));
  compose_udev_id(first, rest, first);
  std::string uuid;
  blkid_line_fsType(std::string(text), &uuid);
  serial_suffix(text);
  return 0;
}
