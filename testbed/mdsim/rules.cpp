#include "rules.h"

#include <algorithm>

namespace mdsim {

static const int kParities[] = {kP, kQ};

bool matches(const SbSlot& rec, const Import& imp) {
  return imp.present && imp.id == rec.id && imp.size_kib >= rec.size_kib;
}

const char* slot_status(const SbSlot& rec, const Import& imp) {
  switch (rec.state) {
    case SlotState::none:
      return imp.present ? "DISK_NEW" : "DISK_NP";
    case SlotState::ok:
      if (!imp.present) return "DISK_NP_MISSING";
      return matches(rec, imp) ? "DISK_OK" : "DISK_WRONG";
    case SlotState::disabled:
      if (!imp.present) return "DISK_NP_DSBL";
      return matches(rec, imp) ? "DISK_DSBL" : "DISK_DSBL_NEW";
    case SlotState::invalid:
      if (!imp.present) return "DISK_NP_DSBL";
      return matches(rec, imp) ? "DISK_INVALID" : "DISK_DSBL_NEW";
  }
  return "DISK_NP";
}

Role role_of(const SbSlot& rec, const Import& imp) {
  switch (rec.state) {
    case SlotState::none: return Role::none;
    case SlotState::ok: return matches(rec, imp) ? Role::direct : Role::emulated;
    case SlotState::invalid: return matches(rec, imp) ? Role::rebuild : Role::emulated;
    case SlotState::disabled: return Role::emulated;
  }
  return Role::none;
}

int find_swap(const Superblock& sb, const Imports& imp, int parity) {
  const SbSlot& old = sb.slot[parity];
  if (old.state != SlotState::ok || !imp[parity].present || imp[parity].id == old.id) return 0;
  for (int k = 1; k < kQ; k++) {
    const SbSlot& d = sb.slot[k];
    if ((d.state == SlotState::disabled || d.state == SlotState::invalid) && imp[k].present &&
        imp[k].id == old.id)
      return k;
  }
  return 0;
}

static SbSlot record(const Import& imp, SlotState state) {
  return SbSlot{imp.id, imp.size_kib, state};
}

static bool named(const InvalidSlots* invalid, int slot) {
  return invalid && (invalid->a == slot || invalid->b == slot);
}

Superblock plan_start(const Superblock& sb, const Imports& imp, const InvalidSlots* invalid) {
  Superblock plan = sb;
  if (sb.empty()) {
    for (int s = 0; s < kSlots; s++) {
      if (!imp[s].present) continue;
      bool trusted = invalid ? !named(invalid, s) : !is_parity(s);
      plan.slot[s] = record(imp[s], trusted ? SlotState::ok : SlotState::invalid);
    }
    return plan;
  }
  // Parity first: whether a new data disk must be cleared depends on valid parity.
  for (int p : kParities) {
    const SbSlot& rec = sb.slot[p];
    SbSlot& out = plan.slot[p];
    int swap = find_swap(sb, imp, p);
    if (swap) {
      // The old parity disk went to the disabled data slot and was copied to the new one.
      out = record(imp[p], SlotState::ok);
      plan.slot[swap] = record(imp[swap], SlotState::invalid);
    } else if (rec.state == SlotState::none) {
      if (imp[p].present) out = record(imp[p], SlotState::invalid);
    } else if (!imp[p].present) {
      out.state = SlotState::disabled;
    } else if (!matches(rec, imp[p])) {
      out = record(imp[p], SlotState::invalid);
    }
  }
  bool protected_after = false;
  for (int p : kParities)
    if (role_of(plan.slot[p], imp[p]) == Role::direct) protected_after = true;
  for (int s = 1; s < kQ; s++) {
    const SbSlot& rec = sb.slot[s];
    SbSlot& out = plan.slot[s];
    if (plan.slot[s].id != rec.id) continue;  // taken by a parity swap above
    if (rec.state == SlotState::none) {
      // A new disk joins as zeros: cleared unless parity has nothing to protect or it is
      // known to read as zeros already.
      if (imp[s].present)
        out = record(imp[s], protected_after && !imp[s].erased ? SlotState::invalid
                                                               : SlotState::ok);
    } else if (!imp[s].present) {
      out.state = SlotState::disabled;
    } else if (!matches(rec, imp[s])) {
      out = record(imp[s], SlotState::invalid);
    }
  }
  return plan;
}

std::string check_plan(const Superblock& before, const Superblock& plan, const Imports& imp) {
  int emulated = 0, valid_parity = 0;
  uint64_t largest = 0;
  for (int s = 1; s < kQ; s++) {
    if (plan.slot[s].state == SlotState::none) continue;
    largest = std::max(largest, plan.slot[s].size_kib);
    if (role_of(plan.slot[s], imp[s]) != Role::direct) emulated++;
  }
  for (int p : kParities)
    if (role_of(plan.slot[p], imp[p]) == Role::direct) valid_parity++;
  if (emulated > valid_parity) return "ERROR:TOO_MANY_MISSING_DISKS";
  for (int s = 0; s < kSlots; s++) {
    const SbSlot& was = before.slot[s];
    if (was.state != SlotState::none && imp[s].present && imp[s].id != was.id &&
        plan.slot[s].id == imp[s].id && imp[s].size_kib < was.size_kib && !is_parity(s))
      return "ERROR:DISK_TOO_SMALL";
  }
  for (int p : kParities) {
    Role r = role_of(plan.slot[p], imp[p]);
    if ((r == Role::direct || r == Role::rebuild) && imp[p].size_kib < largest)
      return "ERROR:PARITY_TOO_SMALL";
  }
  return "";
}

Evaluation evaluate(const Superblock& sb, const Imports& imp, bool started) {
  Evaluation ev;
  bool missing = false, rebuild = false, any_present = false;
  for (int s = 0; s < kSlots; s++) {
    std::string st = slot_status(sb.slot[s], imp[s]);
    if (imp[s].present) any_present = true;
    if (imp[s].present || sb.slot[s].state != SlotState::none) ev.num_disks++;
    if (st.find("_DSBL") != std::string::npos) ev.num_disabled++;
    if (st == "DISK_INVALID" || st.find("_DSBL") != std::string::npos) ev.num_invalid++;
    if (st == "DISK_NP_MISSING") {
      ev.num_missing++;
      missing = true;
    }
    if (st == "DISK_NEW") ev.num_new++;
    if (st == "DISK_WRONG" || st == "DISK_DSBL_NEW" || st == "DISK_INVALID") rebuild = true;
    ev.status[s] = st;
  }
  if (started) {
    ev.md_state = "STARTED";
    return ev;
  }
  if (sb.empty() && !any_present) {
    ev.md_state = "STOPPED";
    return ev;
  }
  Superblock plan = plan_start(sb, imp, nullptr);
  std::string error = check_plan(sb, plan, imp);
  ev.swap_p = sb.empty() ? 0 : find_swap(sb, imp, kP);
  ev.swap_q = sb.empty() ? 0 : find_swap(sb, imp, kQ);
  if (!error.empty()) ev.md_state = error;
  else if (sb.empty()) ev.md_state = "NEW_ARRAY";
  else if (ev.swap_p || ev.swap_q) ev.md_state = "SWAP_DSBL";
  else if (missing) ev.md_state = "DISABLE_DISK";
  else if (rebuild) ev.md_state = "RECON_DISK";
  else ev.md_state = "STOPPED";
  return ev;
}

static std::string slot_label(int s) {
  if (s == kP) return "P";
  if (s == kQ) return "Q";
  std::string label = "D";
  label += std::to_string(s);
  return label;
}

std::string sync_action(const Superblock& sb, const Imports& imp) {
  std::string recon;
  int emulated = 0;
  for (int s = 0; s < kSlots; s++) {
    Role r = role_of(sb.slot[s], imp[s]);
    if (r == Role::rebuild) {
      recon += ' ';
      recon += slot_label(s);
    }
    if (!is_parity(s) && (r == Role::emulated || r == Role::rebuild)) emulated++;
  }
  if (!recon.empty()) return std::string("recon") += recon;
  std::string check = "check";
  for (int p : kParities) {
    if (role_of(sb.slot[p], imp[p]) != Role::direct) continue;
    if (emulated > 0) emulated--;  // this parity stands in for a missing disk
    else {
      check += ' ';
      check += slot_label(p);
    }
  }
  return check;
}

}  // namespace mdsim
