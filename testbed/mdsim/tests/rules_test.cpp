#include <gtest/gtest.h>

#include "rules.h"

using namespace mdsim;

namespace {

Import dev(const char* id, uint64_t kib = 1000, bool erased = false) {
  Import i;
  i.present = true;
  i.name = "sdx";
  i.id = id;
  i.size_kib = kib;
  i.erased = erased;
  return i;
}

SbSlot rec(const char* id, SlotState st, uint64_t kib = 1000) { return SbSlot{id, kib, st}; }

// parity "P" 2000 KiB, data "A" and "B" 1000 KiB, all good
Superblock array3() {
  Superblock sb;
  sb.slot[0] = rec("P", SlotState::ok, 2000);
  sb.slot[1] = rec("A", SlotState::ok);
  sb.slot[2] = rec("B", SlotState::ok);
  return sb;
}

Imports present3() {
  Imports imp;
  imp[0] = dev("P", 2000);
  imp[1] = dev("A");
  imp[2] = dev("B");
  return imp;
}

}  // namespace

TEST(Rules, SlotStatusFromRecordAndImport) {
  struct Case {
    SbSlot rec;
    Import imp;
    const char* status;
    Role role;
  } cases[] = {
      {SbSlot{}, Import{}, "DISK_NP", Role::none},
      {SbSlot{}, dev("A"), "DISK_NEW", Role::none},
      {rec("A", SlotState::ok), dev("A"), "DISK_OK", Role::direct},
      {rec("A", SlotState::ok), dev("A", 999), "DISK_WRONG", Role::emulated},
      {rec("A", SlotState::ok), dev("C"), "DISK_WRONG", Role::emulated},
      {rec("A", SlotState::ok), Import{}, "DISK_NP_MISSING", Role::emulated},
      {rec("A", SlotState::disabled), dev("A"), "DISK_DSBL", Role::emulated},
      {rec("A", SlotState::disabled), Import{}, "DISK_NP_DSBL", Role::emulated},
      {rec("A", SlotState::disabled), dev("C"), "DISK_DSBL_NEW", Role::emulated},
      {rec("A", SlotState::invalid), dev("A"), "DISK_INVALID", Role::rebuild},
      {rec("A", SlotState::invalid), Import{}, "DISK_NP_DSBL", Role::emulated},
      {rec("A", SlotState::invalid), dev("C"), "DISK_DSBL_NEW", Role::emulated},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(slot_status(c.rec, c.imp), c.status) << c.status;
    EXPECT_EQ(role_of(c.rec, c.imp), c.role) << c.status;
  }
}

TEST(Rules, StoppedStateSaysWhatAStartDoes) {
  struct Case {
    const char* what;
    void (*edit)(Superblock&, Imports&);
    const char* state;
    const char* action;
  } cases[] = {
      {"all good", [](Superblock&, Imports&) {}, "STOPPED", "check P"},
      {"missing data disk", [](Superblock&, Imports& i) { i[2] = Import{}; }, "DISABLE_DISK",
       "check"},
      {"missing parity", [](Superblock&, Imports& i) { i[0] = Import{}; }, "DISABLE_DISK",
       "check"},
      {"two missing, one parity", [](Superblock&, Imports& i) { i[1] = i[2] = Import{}; },
       "ERROR:TOO_MANY_MISSING_DISKS", "check"},
      {"replacement", [](Superblock& s, Imports& i) {
         s.slot[2].state = SlotState::disabled;
         i[2] = dev("C", 1500);
       }, "RECON_DISK", "recon D2"},
      {"wrong disk", [](Superblock&, Imports& i) { i[1] = dev("C"); }, "RECON_DISK", "recon D1"},
      {"replacement too small", [](Superblock& s, Imports& i) {
         s.slot[2].state = SlotState::disabled;
         i[2] = dev("C", 999);
       }, "ERROR:DISK_TOO_SMALL", "recon D2"},
      {"new data disk larger than parity", [](Superblock&, Imports& i) { i[3] = dev("C", 3000); },
       "ERROR:PARITY_TOO_SMALL", "recon D3"},
      {"new data disk", [](Superblock&, Imports& i) { i[3] = dev("C"); }, "STOPPED", "recon D3"},
      {"new erased data disk", [](Superblock&, Imports& i) { i[3] = dev("C", 1000, true); },
       "STOPPED", "check P"},
      {"new second parity", [](Superblock&, Imports& i) { i[29] = dev("Q", 2000); }, "STOPPED",
       "recon Q"},
      {"interrupted rebuild", [](Superblock& s, Imports&) { s.slot[1].state = SlotState::invalid; },
       "RECON_DISK", "recon D1"},
      {"disabled disk still there", [](Superblock& s, Imports&) {
         s.slot[1].state = SlotState::disabled;
       }, "STOPPED", "check"},
      {"parity swap", [](Superblock& s, Imports& i) {
         s.slot[1].state = SlotState::disabled;
         i[1] = dev("P", 2000);
         i[0] = dev("BIG", 4000);
       }, "SWAP_DSBL", "recon D1"},
  };
  for (const auto& c : cases) {
    Superblock sb = array3();
    Imports imp = present3();
    c.edit(sb, imp);
    Evaluation ev = evaluate(sb, imp, false);
    EXPECT_EQ(ev.md_state, c.state) << c.what;
    EXPECT_EQ(sync_action(plan_start(sb, imp, nullptr), imp), c.action) << c.what;
  }
}

TEST(Rules, NewArrayTrustsDataAndSyncsParityUnlessToldOtherwise) {
  Superblock fresh;
  Imports imp = present3();
  imp[29] = dev("Q", 2000);
  Evaluation ev = evaluate(fresh, imp, false);
  EXPECT_EQ(ev.md_state, "NEW_ARRAY");
  EXPECT_EQ(ev.num_new, 4);
  Superblock plan = plan_start(fresh, imp, nullptr);
  EXPECT_EQ(plan.slot[0].state, SlotState::invalid);
  EXPECT_EQ(plan.slot[29].state, SlotState::invalid);
  EXPECT_EQ(plan.slot[1].state, SlotState::ok);
  EXPECT_EQ(sync_action(plan, imp), "recon P Q");
  EXPECT_EQ(plan.num_disks(), 4);

  InvalidSlots none{99, 99};
  EXPECT_EQ(sync_action(plan_start(fresh, imp, &none), imp), "check P Q");
  InvalidSlots data{2, 99};
  EXPECT_EQ(sync_action(plan_start(fresh, imp, &data), imp), "recon D2");

  EXPECT_EQ(evaluate(fresh, Imports{}, false).md_state, "STOPPED");
  imp[0] = dev("P", 500);
  EXPECT_EQ(evaluate(fresh, imp, false).md_state, "ERROR:PARITY_TOO_SMALL");
}

TEST(Rules, StartRecordsWhatWasFound) {
  Superblock sb = array3();
  Imports imp = present3();
  imp[1] = Import{};
  imp[2] = dev("C", 1200);
  sb.slot[2].state = SlotState::disabled;
  // one missing and one replacement with one parity: too many
  EXPECT_EQ(evaluate(sb, imp, false).md_state, "ERROR:TOO_MANY_MISSING_DISKS");
  imp[29] = dev("Q", 2000);
  sb.slot[29] = rec("Q", SlotState::ok, 2000);
  EXPECT_EQ(evaluate(sb, imp, false).md_state, "DISABLE_DISK");
  Superblock plan = plan_start(sb, imp, nullptr);
  EXPECT_EQ(plan.slot[1].state, SlotState::disabled);
  EXPECT_EQ(plan.slot[2].id, "C");
  EXPECT_EQ(plan.slot[2].size_kib, 1200u);
  EXPECT_EQ(plan.slot[2].state, SlotState::invalid);
  EXPECT_EQ(sync_action(plan, imp), "recon D2");
  Evaluation started = evaluate(plan, imp, true);
  EXPECT_EQ(started.md_state, "STARTED");
  EXPECT_EQ(started.status[1], "DISK_NP_DSBL");
  EXPECT_EQ(started.status[2], "DISK_INVALID");
  EXPECT_EQ(started.num_disabled, 1);
  EXPECT_EQ(started.num_invalid, 2);
}

TEST(Rules, ParitySwapNamesTheDataSlot) {
  Superblock sb = array3();
  sb.slot[2].state = SlotState::disabled;
  Imports imp = present3();
  imp[2] = dev("P", 2000);
  imp[0] = dev("BIG", 4000);
  Evaluation ev = evaluate(sb, imp, false);
  EXPECT_EQ(ev.swap_p, 2);
  EXPECT_EQ(ev.swap_q, 0);
  Superblock plan = plan_start(sb, imp, nullptr);
  EXPECT_EQ(plan.slot[0].id, "BIG");
  EXPECT_EQ(plan.slot[0].state, SlotState::ok);
  EXPECT_EQ(plan.slot[2].id, "P");
  EXPECT_EQ(plan.slot[2].state, SlotState::invalid);
}
