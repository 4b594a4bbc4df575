// The md driver interface and device import. See md.h.
#include "array/md.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "array/status.h"
#include "devices/flash.h"
#include "devices/inventory.h"
#include "devices/luks.h"
#include "devices/partition.h"
#include "state/config.h"
#include "state/ini.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/text.h"

std::atomic<int> copy_percent[2];

namespace {

constexpr char load_command[] = "/sbin/modprobe md-mod super=/boot/config/super.dat";

bool var_is(const char *key, const char *value) {
  const char *v = get_var("%s", key);
  return v && strcmp(v, value) == 0;
}

// A copy, so the text survives later writes of the same variable.
std::string var_text(const char *fmt, int slot) {
  const char *v = get_var(fmt, slot);
  return v ? v : "";
}

// A slot's volume as shown before anything is mounted.
void reset_fs_status(int slot) {
  put_var("diskFsStatus.%i=-", slot);
  put_var("diskFsSize.%i=0", slot);
  put_var("diskFsFree.%i=0", slot);
  put_var("diskFsUsed.%i=0", slot);
  put_var("diskFsColor.%i=grey-off", slot);
  put_var("diskExportable.%i=no", slot);
}

void publish_device_flags(int slot, const device *d) {
  put_var("rdevTransport.%i=%s", slot, d->transport.c_str());
  put_var("rdevRotational.%i=%i", slot, d->rotational);
  put_var("rdevRemovable.%i=%i", slot, d->removable);
}

void clear_device_flags(int slot) {
  put_var("rdevTransport.%i=", slot);
  put_var("rdevRotational.%i=", slot);
  put_var("rdevDiscard.%i=", slot);
  put_var("rdevRemovable.%i=", slot);
}

// Step 3 of a load: the slot's variables and its import into the driver.
void import_array_slot(int slot, int *erased_count) {
  if (slot == 0 || slot == MAX_ARRAYSZ - 1) {
    put_var("diskIdent.%i=%s", slot, slot == 0 ? "parity" : "parity2");
    put_var("diskType.%i=Parity", slot);
  } else {
    put_var("diskIdent.%i=disk%d", slot, slot);
    put_var("diskType.%i=Data", slot);
    reset_fs_status(slot);
    put_var("diskSlots.%i=1", slot);
  }

  device *d = assign_device_by_slot(slot);
  uint64_t start = 0, size_kib = 0;
  int erased = 0;
  if (d) {
    int rc = put_rdevFormat(slot, d->name.c_str(), &start, &size_kib);
    if (rc < 0) {
      // An unreadable layout is never imported: the driver would use whatever is there.
      INFO("ckmbr error: %d", rc);
      d = nullptr;
    } else if (rc == 1) {
      erased = 1;
      ++*erased_count;
    }
  } else {
    put_var("rdevFormat.%i=0", slot);
    put_var("rdevFormatString.%i=-", slot);
  }

  if (d) {
    mdcmd("import %i %s %lu %llu %i %s", slot, d->name.c_str(), static_cast<unsigned long>(start),
          static_cast<unsigned long long>(size_kib), erased, d->id.c_str());
    publish_device_flags(slot, d);
    // The array device offers no discard, whatever its member supports.
    put_var("rdevDiscard.%i=%i", slot, 0);
    put_var("diskNumDevices.%i=1", slot);
  } else {
    mdcmd("import %i", slot);
    clear_device_flags(slot);
    put_var("diskNumDevices.%i=0", slot);
  }
  put_var("rdevSpundown.%i=0", slot);
  put_var("rdevNumReads.%i=0", slot);
  put_var("rdevNumWrites.%i=0", slot);
  put_var("rdevTemp.%i=*", slot);
}

void publish_array_luks_states() {
  for (int slot = 0; slot < MAX_ARRAYSZ; slot++) {
    int state = 0;
    std::string type = var_text("diskFsType.%i", slot);
    if (!type.empty()) {
      std::string status = var_text("rdevStatus.%i", slot);
      if (status == "DISK_OK" || status == "DISK_NEW") {
        std::string name = var_text("rdevName.%i", slot);
        name += partition_suffix(name.c_str());
        state = device_luks_state(name.c_str());
      } else {
        state = luks_retval(strncmp(type.c_str(), "luks:", 5) == 0);
      }
    }
    put_var("diskLuksState.%i=%d", slot, state);
    put_var("diskNameMapped.%i=", slot);
  }
}

// Steps 5-6 of a start: a file system that the driver rebuilt or treats as new gets a new
// UUID, so it is never mistaken for the disk it replaces.
void renew_rebuilt_uuids() {
  for (int slot = 0; slot < MAX_ARRAYSZ; slot++) {
    if (var_text("diskName.%i", slot).empty()) continue;
    std::string status = var_text("rdevStatus.%i", slot);
    if (status.find("_DSBL") == std::string::npos && status != "DISK_INVALID") continue;
    std::string type = var_text("diskFsType.%i", slot);
    std::string mapped = var_text("diskNameMapped.%i", slot);
    if (type == "btrfs")
      shcmd("btrfstune -m /dev/'%s'", shell_quote(mapped.c_str()));
    else if (type == "xfs")
      shcmd("xfs_admin -U generate /dev/'%s'", shell_quote(mapped.c_str()));
  }
}

int load_tail() {
  pool_first = slot_count;
  // Pools are imported here once their configuration files are read.
  pool_count = 0;
  flash_first = slot_count;
  flash_count = import_flash_device(flash_first);
  name_unassigned_devices();
  get_statistics();
  put_disk_settings();
  refresh_state_files("driver_loaded");
  return 0;
}

int load_and_import() {
  device_inventory(0);
  purge_disk_vars(0);
  slot_count = pool_count = flash_count = 0;
  get_disk_settings();

  shcmd("%s", load_command);
  copy_percent[0] = copy_percent[1] = 0;
  mdstatus();

  int erased = 0;
  for (int slot = 0; slot < MAX_ARRAYSZ; slot++) import_array_slot(slot, &erased);
  slot_count = MAX_ARRAYSZ;
  mdstatus();
  put_var("mdNumErased=%d", erased);

  int sb_disks = get_var_int("sbNumDisks");
  if (sb_disks > 2 && get_var_int("SYS_ARRAY_SLOTS") < sb_disks) put_var("SYS_ARRAY_SLOTS=%d", sb_disks);

  publish_array_luks_states();
  return load_tail();
}

int start_and_import() {
  tune_queue_all();
  set_md_tuning();
  if (get_var("md_invalidslot")) {
    // The numbers follow the disks present, whatever the form posted.
    int first = get_var_int("rdevSize.0") ? 99 : 0;
    int second = get_var_int("rdevSize.29") ? 99 : 29;
    mdcmd("set invalidslot %d %d", first, second);
  }
  const char *start_state = get_var("startState");
  if (!mdcmd_start(start_state ? start_state : "")) {
    set_progress("Start error");
    return -1;
  }
  renew_rebuilt_uuids();
  unassign_slots(MAX_ARRAYSZ, INT_MAX - MAX_ARRAYSZ);
  purge_disk_vars(MAX_ARRAYSZ);
  slot_count = MAX_ARRAYSZ;
  return load_tail();
}

}  // namespace

void unload_md_driver() { shcmd_test("/sbin/rmmod md-mod &> /dev/null"); }

int mdcmd(const char *fmt, ...) {
  char cmd[128];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(cmd, sizeof cmd, fmt, ap);
  va_end(ap);
  int fd = open(mdcmd_path, O_WRONLY | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    ERR("open");
    return -1;
  }
  size_t len = strlen(cmd);
  ssize_t rc = write(fd, cmd, len);
  close(fd);
  if (rc != static_cast<ssize_t>(len)) {
    ERR("write: %s retval: %d", cmd, static_cast<int>(rc));
    return -1;
  }
  return 0;
}

int mdstatus() {
  if (read_tokens(mdstat_path, "") < 0) return -1;
  if (var_is("mdState", "STOPPED") && var_is("mdNumDisks", "0") && get_var_int("SYS_ARRAY_SLOTS") >= 3)
    put_var("mdState=ERROR:NO_DEVICES");
  if (var_is("mdState", "SWAP_DSBL")) {
    const struct {
      const char *key;
      int parity;
    } swaps[] = {{"mdSwapP", 0}, {"mdSwapQ", MAX_ARRAYSZ - 1}};
    for (int i = 0; i < 2; i++) {
      int data = get_var_int("%s", swaps[i].key);
      if (!data) continue;
      if (copy_percent[i] >= 100) {
        put_var("rdevStatus.%i=DISK_OK", swaps[i].parity);
        put_var("rdevStatus.%i=DISK_INVALID", data);
      } else {
        put_var("rdevStatus.%i=DISK_NEW", swaps[i].parity);
      }
    }
  }
  return 0;
}

device *assign_device_by_slot(int slot) {
  if (const char *requested = get_var("slotId.%i", slot)) {
    put_var("diskIdSlot.%i=%s", slot, requested);
    put_var("slotId.%i", slot);
  }
  std::string wanted = var_text("diskIdSlot.%i", slot);
  if (wanted.empty() || wanted == "-") wanted = var_text("diskId.%i", slot);
  if (wanted.empty()) return nullptr;
  device *d = device_by_id(wanted.c_str());
  if (!d) return nullptr;
  std::string ident = var_text("diskIdent.%i", slot);
  if (d->claims) {
    ERR("%s: already assigned", ident.c_str());
    return nullptr;
  }
  d->claims = 1;
  d->slot = slot;
  d->ident = ident;

  const char *groups = get_var("spinupGroups");
  if (groups && strcmp(groups, "no") == 0) {
    put_var("diskSpinupGroup.%i=", slot);
  } else if (groups && strcmp(groups, "auto") == 0 && var_text("diskSpinupGroup.%i", slot).empty()) {
    put_var("diskSpinupGroup.%i=%s", slot, d->host.c_str());
  }
  return d;
}

int load_md_driver(int mode) { return mode == 0 ? load_and_import() : start_and_import(); }

device *import_pool_device(int slot) {
  device *d = assign_device_by_slot(slot);
  if (d) {
    put_var("rdevId.%i=%s", slot, d->id.c_str());
    put_var("rdevName.%i=%s", slot, d->name.c_str());
    publish_device_flags(slot, d);
    put_var("rdevDiscard.%i=%i", slot, d->discard);
    uint64_t start = 0, size_kib = 0;
    put_rdevFormat(slot, d->name.c_str(), &start, &size_kib);
    put_var("rdevOffset.%i=%lu", slot, static_cast<unsigned long>(start));
    put_var("rdevSize.%i=%llu", slot, static_cast<unsigned long long>(size_kib));
    std::string recorded = var_text("diskId.%i", slot);
    if (recorded != d->id) {
      put_var("rdevStatus.%i=%s", slot, recorded.empty() ? "DISK_NEW" : "DISK_WRONG");
    } else {
      put_var("rdevStatus.%i=DISK_OK", slot);
      put_var("diskSize.%i=%llu", slot, static_cast<unsigned long long>(size_kib));
    }
    std::string name = d->name + partition_suffix(d->name.c_str());
    put_var("diskName.%i=%s", slot, name.c_str());
    put_var("diskLuksState.%i=%d", slot, device_luks_state(name.c_str()));
    put_diskNameMapped(slot);
    INFO("import %d pool device: (%s) %s", slot, d->name.c_str(), d->id.c_str());
  } else {
    put_var("rdevId.%i=", slot);
    put_var("rdevName.%i=", slot);
    clear_device_flags(slot);
    put_var("rdevFormat.%i=0", slot);
    put_var("rdevFormatString.%i=-", slot);
    put_var("rdevOffset.%i=0", slot);
    put_var("rdevSize.%i=0", slot);
    put_var("rdevStatus.%i=%s", slot,
            var_text("diskId.%i", slot).empty() ? "DISK_NP" : "DISK_NP_MISSING");
    put_var("diskName.%i=", slot);
    put_var("diskNameMapped.%i=", slot);
    put_var("diskLuksState.%i=0", slot);
    INFO("import %d pool device: no device", slot);
  }
  put_var("rdevSpundown.%i=0", slot);
  put_var("rdevTemp.%i=*", slot);
  put_var("rdevNumReads.%i=0", slot);
  put_var("rdevNumWrites.%i=0", slot);
  put_var("rdevNumErrors.%i=0", slot);
  put_var("diskNumber.%i=%i", slot, slot);
  reset_fs_status(slot);
  return d;
}

void record_disk_info(int slot) {
  put_var("rdevStatus.%i=%s", slot, "DISK_OK");
  put_var("diskId.%i=%s", slot, var_text("rdevId.%i", slot).c_str());
  put_var("diskIdSlot.%i=-", slot);
  put_var("diskSize.%i=%s", slot, var_text("rdevSize.%i", slot).c_str());
}

int mdcmd_start(const char *state) {
  mdcmd("start %s", state);
  mdstatus();
  if (!var_is("mdState", "STARTED")) return 0;
  shcmd("udevadm settle");
  for (int slot = 0; slot < MAX_ARRAYSZ; slot++) {
    if (var_text("rdevStatus.%i", slot) == "DISK_INVALID") mkmbr_disk(slot);
    if (valid_rdevFormat(slot)) {
      // The member's partition belongs to the driver now; nobody may mount it directly.
      std::string name = var_text("rdevName.%i", slot);
      shcmd_test("mv /dev/'%s%s' /tmp/orvan/dev", shell_quote(name.c_str()),
                 partition_suffix(name.c_str()));
    }
    put_var("diskIdSlot.%i=-", slot);
    put_var("diskNameMapped.%i=%s", slot, var_text("diskName.%i", slot).c_str());
  }
  return 1;
}

void mdcmd_stop() {
  for (int slot = 0; slot < slot_count; slot++) {
    if (!is_data_slot(slot) && !is_pool_slot(slot)) continue;
    disk_luksClose(slot);
    if (is_pool_slot(slot) && !var_text("diskFsType.%i", slot).empty() &&
        var_text("diskState.%i", slot) == "STARTED")
      put_var("diskState.%i=%s", slot, "STOPPED");
  }
  if (mdcmd("stop") == -1) {
    INFO("retry mdcmd stop");
    sleep(1);
    mdcmd("stop");
  }
  shcmd_test("mv /tmp/orvan/dev/* /dev");
  unload_md_driver();
  put_var("startMode=Normal");
  get_status(0);
}

void mdcmd_check(const char *option) {
  if (!get_var_int("SYS_ARRAY_SLOTS")) return;
  mdcmd("check %s", option);
  sleep(2);
}

void mdcmd_nocheck(const char *option) {
  if (!get_var_int("SYS_ARRAY_SLOTS")) return;
  mdcmd("nocheck %s", option);
  sleep(1);
}

void set_md_tuning() {
  for (const char *key : {"md_num_stripes", "md_queue_limit", "md_sync_limit"})
    mdcmd("set %s %s", key, get_var("%s", key) ?: "");
  const char *method = get_var("md_write_method");
  if (!method || strcmp(method, "auto") == 0)
    mdcmd("set md_write_method");
  else
    mdcmd("set md_write_method %s", method);
}

int tune_queue_all() {
  const char *depth = get_var("queueDepth");
  const char *requests = get_var("nr_requests");
  const char *scheduler = get_var("md_scheduler");
  for (int slot = 0; slot < MAX_ARRAYSZ; slot++) {
    std::string status = var_text("rdevStatus.%i", slot);
    if (!get_var("rdevStatus.%i", slot) || status.find("_NP") != std::string::npos) continue;
    std::string name = var_text("rdevName.%i", slot);
    const char *dev = shell_quote(name.c_str());
    if (depth && strcmp(depth, "auto") != 0) shcmd("/usr/local/sbin/tune_queue '%s' %d", dev, 1);
    if (requests && strcasecmp(requests, "auto") != 0)
      shcmd("echo %d > /sys/block/'%s'/queue/nr_requests", atoi(requests), dev);
    if (scheduler && strcmp(scheduler, "auto") != 0)
      shcmd("echo '%s' > /sys/block/'%s'/queue/scheduler", shell_quote(scheduler), dev);
  }
  return 1;
}
