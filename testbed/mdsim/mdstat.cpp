// diskState.N is a small bit set: 1 the slot is in the array, 2 its contents are valid,
// 4 it is enabled (has or stands for a device). So 7 is a good disk, 5 one whose contents
// are being rebuilt or wait for it, 1 a disabled one, 0 an unused slot.
#include "mdstat.h"

#include <cstdio>
#include <mutex>

#include "array.h"

namespace mdsim {
namespace {

void put(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += '=';
  out += value;
  out += '\n';
}

void put(std::string& out, const char* key, uint64_t value) {
  put(out, key, std::to_string(value));
}

void put_slot(std::string& out, const char* key, int slot, const std::string& value) {
  char k[64];
  snprintf(k, sizeof k, "%s.%d", key, slot);
  put(out, k, value);
}

int disk_state(SlotState s) {
  switch (s) {
    case SlotState::ok: return 7;
    case SlotState::invalid: return 5;
    case SlotState::disabled: return 1;
    case SlotState::none: break;
  }
  return 0;
}

}  // namespace

std::string mdstat_text() {
  Array& a = array();
  std::lock_guard lock(a.io);
  Evaluation ev = evaluate(a.sb, a.imports, a.started);
  const SyncState& sync = a.sync;
  std::string action;
  uint64_t size = 0;
  if (a.started) {
    action = sync.running ? sync.action : sync_action(a.sb, a.imports);
    size = sync.running ? sync.size : sync_size();
  } else {
    Superblock plan = plan_start(a.sb, a.imports, nullptr);
    action = sync_action(plan, a.imports);
    for (const SbSlot& s : plan.slot) size = std::max(size, s.size_kib * 1024);
  }
  std::string out;
  out.reserve(16384);
  put(out, "mdVersion", kVersion);
  put(out, "mdState", ev.md_state);
  put(out, "mdNumDisks", ev.num_disks);
  put(out, "mdNumDisabled", ev.num_disabled);
  put(out, "mdNumInvalid", ev.num_invalid);
  put(out, "mdNumMissing", ev.num_missing);
  put(out, "mdNumNew", ev.num_new);
  put(out, "mdSwapP", ev.swap_p);
  put(out, "mdSwapQ", ev.swap_q);
  bool active = sync.running && !sync.paused;
  put(out, "mdResync", active ? sync.size / 1024 : 0);
  put(out, "mdResyncPos", sync.running ? sync.pos / 1024 : 0);
  put(out, "mdResyncSize", size / 1024);
  put(out, "mdResyncCorr", sync.running && sync.correct ? 1 : 0);
  put(out, "mdResyncAction", action);
  put(out, "mdResyncDt", active ? sync.dt : 0);
  put(out, "mdResyncDb", active ? sync.db : 0);
  const Superblock& sb = a.sb;
  put(out, "sbName", sb.name);
  put(out, "sbVersion", kVersion);
  put(out, "sbUpdated", std::to_string(sb.updated));
  put(out, "sbEvents", sb.events);
  put(out, "sbState", std::to_string(sb.state));
  put(out, "sbSynced", std::to_string(sb.synced));
  put(out, "sbSynced2", std::to_string(sb.synced2));
  put(out, "sbSyncErrs", sync.running ? sync.errs : sb.sync_errs);
  put(out, "sbSyncExit", std::to_string(sb.sync_exit));
  put(out, "sbNumDisks", sb.num_disks());
  for (int s = 0; s < kSlots; s++) {
    const SbSlot& rec = sb.slot[s];
    const Import& imp = a.imports[s];
    uint64_t reads = 0, writes = 0;
    if (imp.present) member_counters(a.members[s], reads, writes);
    put_slot(out, "diskName", s, serves_device(s) ? "md" + std::to_string(s) + "p1" : "");
    put_slot(out, "diskId", s, rec.id);
    put_slot(out, "diskSize", s, std::to_string(rec.size_kib));
    put_slot(out, "diskState", s, std::to_string(disk_state(rec.state)));
    put_slot(out, "rdevStatus", s, ev.status[s]);
    put_slot(out, "rdevName", s, imp.present ? imp.name : "");
    put_slot(out, "rdevId", s, imp.present ? imp.id : "");
    put_slot(out, "rdevSize", s, std::to_string(imp.present ? imp.size_kib : 0));
    put_slot(out, "rdevNumErrors", s, std::to_string(imp.present ? a.members[s].errors : 0));
    put_slot(out, "rdevReads", s, std::to_string(reads));
    put_slot(out, "rdevWrites", s, std::to_string(writes));
  }
  return out;
}

}  // namespace mdsim
