#include "state/var.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log_capture.h"

namespace {

// Death tests need the fatal line where gtest can match it: the child's stderr.
void stderr_sink(int, const char *line) { fprintf(stderr, "%s\n", line); }

TEST(Variables, SetReadDeleteAndEmptyValues) {
  EXPECT_EQ(put_var("a=%d", 1), 0);
  EXPECT_STREQ(get_var("a"), "1");
  EXPECT_EQ(put_var("e="), 0);
  ASSERT_NE(get_var("e"), nullptr);
  EXPECT_STREQ(get_var("e"), "");
  EXPECT_EQ(put_var("diskFsType.%i=%s", 3, "luks:xfs"), 0);
  EXPECT_STREQ(get_var("diskFsType.%i", 3), "luks:xfs");
  EXPECT_EQ(put_var("a"), 0);
  EXPECT_EQ(get_var("a"), nullptr);
  EXPECT_EQ(put_var("a"), -1);
}

TEST(Variables, NamesAreCutAt259Characters) {
  std::string name(259, 'n');
  ASSERT_EQ(put_var("%s=kept", name.c_str()), 0);
  std::string longer = name + "tail that is never looked at";
  EXPECT_STREQ(get_var("%s", longer.c_str()), "kept");
  EXPECT_STREQ(NEED_VAR("%s", longer.c_str()), "kept");
  EXPECT_EQ(get_var("%s", name.substr(1).c_str()), nullptr);
}

TEST(Variables, MissingRequiredVariableEndsTheProcess) {
  set_log_sink(stderr_sink);
  EXPECT_EXIT(need_var("disk_idx", 77, "diskIdent.%i", 3), testing::ExitedWithCode(1),
              "^disk_idx 77 diskIdent.3 not found\n$");
}

int action_a(const char *, const char *) { return 7; }
int action_b(const char *, const char *) { return 8; }

TEST(Actions, RegisteredHandlersAreFoundByName) {
  register_action("cmdStart", action_a);
  register_action("dump", action_b);
  ASSERT_EQ(find_action("cmdStart"), &action_a);
  EXPECT_EQ(find_action("cmdStart")("cmdStart", "Start"), 7);
  EXPECT_EQ(find_action("dump"), &action_b);
  EXPECT_EQ(find_action("cmdstart"), nullptr);
  EXPECT_EQ(find_action("x"), nullptr);
  EXPECT_EQ(get_var("cmdStart"), nullptr);  // actions live in their own table
}

TEST(SlotVariables, PurgeRemovesSlotVariablesFromTheFirstSlotOn) {
  log_capture cap;
  const char *removed[] = {"diskFsType.3", "rdevName.12", "diskIdent.30", "disk.x.4"};
  const char *kept[] = {"diskFsType.2", "diskCount", "rdevs", "shareName.5", "mdState",
                        "rdevStatus.0", "diskIdent.x"};
  for (const char *k : removed) put_var("%s=v", k);
  for (const char *k : kept) put_var("%s=v", k);
  // enough records to grow the table, so removals shift records across buckets
  for (int i = 0; i < 40; i++) put_var("rdevSize.%i=%i", i, i);
  init_debugging("purge_disk_vars");
  cap.clear();
  purge_disk_vars(3);
  for (const char *k : removed) EXPECT_EQ(get_var("%s", k), nullptr) << k;
  for (const char *k : kept) EXPECT_NE(get_var("%s", k), nullptr) << k;
  for (int i = 0; i < 40; i++) EXPECT_EQ(get_var("rdevSize.%i", i) != nullptr, i < 3) << i;
  std::vector<std::string> lines = cap.at(LOG_DEBUG);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "debug: purge_disk_vars: purging disk vars");
  EXPECT_EQ(lines.size(), 1 + 4 + 37u);
  for (size_t i = 1; i < lines.size(); i++)
    EXPECT_EQ(lines[i].rfind("debug: purge_disk_vars: removing ", 0), 0u) << lines[i];
}

TEST(SlotVariables, ReservedNames) {
  put_reservedNames();
  std::string expected =
      "flash,boot,user,user0,dev,remotes,RecycleBin,rootshare,disks,addons,mirror,raidz,"
      "raidz1,raidz2,raidz3,draid,spare,log,disk,parity,parity2,parity3,diskP,diskQ,diskR";
  for (int i = 0; i <= 31; i++) expected += ",disk" + std::to_string(i);
  EXPECT_EQ(get_var("reservedNames"), expected);
  for (const char *n : {"flash", "RecycleBin", "disk0", "disk31", "diskR"})
    EXPECT_EQ(is_reserved_name(n), 1) << n;
  for (const char *n : {"Flash", "disk32", "media", "", "recyclebin"})
    EXPECT_EQ(is_reserved_name(n), 0) << n;
}

TEST(SlotVariables, ConfiguredSlots) {
  struct slots_case {
    const char *array_slots;
    std::vector<int> yes, no;
  };
  const slots_case cases[] = {
      {"0", {0, 29, 30, 31, 40}, {1, 2, 28}},
      {"1", {0, 29, 30, 35}, {1, 5, 28}},
      {"5", {0, 1, 2, 3, 29, 30}, {4, 5, 28}},
      {"30", {0, 27, 28, 29, 30}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.array_slots);
    put_var("SYS_ARRAY_SLOTS=%s", c.array_slots);
    for (int s : c.yes) EXPECT_EQ(is_configured_slot(s), 1) << s;
    for (int s : c.no) EXPECT_EQ(is_configured_slot(s), 0) << s;
  }
}

TEST(SlotVariables, SlotKinds) {
  pool_first = 30;
  pool_count = 3;
  flash_first = 33;
  flash_count = 1;
  slot_count = 34;
  put_var("diskFsType.31=btrfs");
  put_var("diskFsProfile.32=raid1");
  put_var("diskFsType.33=vfat");
  EXPECT_TRUE(is_parity_slot(0) && is_parity_slot(29) && !is_parity_slot(1));
  EXPECT_TRUE(is_data_slot(1) && is_data_slot(28) && !is_data_slot(0) && !is_data_slot(29));
  EXPECT_TRUE(is_array_slot(0) && is_array_slot(29) && !is_array_slot(30) && !is_array_slot(-1));
  EXPECT_TRUE(is_pool_slot(30) && is_pool_slot(32) && !is_pool_slot(29) && !is_pool_slot(33));
  EXPECT_TRUE(is_flash_slot(33) && !is_flash_slot(32) && !is_flash_slot(34));
  EXPECT_TRUE(is_fs_slot(31) && !is_fs_slot(32) && !is_fs_slot(33));
  EXPECT_TRUE(is_profile_slot(32) && !is_profile_slot(31) && !is_profile_slot(30));
}

TEST(SlotVariables, FindingSlotsByName) {
  slot_count = 4;
  flash_first = 3;
  const char *idents[] = {"parity", "disk1", "cache~fast", "flash"};
  for (int i = 0; i < 4; i++) put_var("diskIdent.%i=%s", i, idents[i]);
  EXPECT_EQ(disk_idx("disk1"), 1);
  EXPECT_EQ(disk_idx("disk2"), -1);
  int slot = -1;
  EXPECT_EQ(find_disk_idx("parity", &slot), 1);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(find_disk_idx("nope", &slot), 0);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(find_disk_idx("disk1", nullptr), 1);
  EXPECT_EQ(subpool_idx("cache", "fast"), 2);
  EXPECT_EQ(disk_mountdir(1), "/mnt/disk1");
  EXPECT_EQ(disk_mountdir(3), "/boot");
}

TEST(SlotVariables, FileSystemTypes) {
  struct fs_case {
    const char *value;
    int found;
    const char *type;
    int encrypted;
  };
  const fs_case cases[] = {
      {"luks:btrfs", 1, "btrfs", 1}, {"xfs", 1, "xfs", 0}, {"auto", 1, "auto", 0},
      {"luks:", 1, "", 1},           {nullptr, 0, "", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(missing)");
    if (c.value)
      put_var("diskFsType.5=%s", c.value);
    else
      put_var("diskFsType.5");
    std::string type;
    int encrypted = -1;
    EXPECT_EQ(disk_fs_type(5, &type, &encrypted), c.found);
    if (c.found) {
      EXPECT_EQ(type, c.type);
      EXPECT_EQ(encrypted, c.encrypted);
    }
  }
}

TEST(SlotVariables, ArrayStateAndCopies) {
  put_var("mdState=STOPPED");
  EXPECT_EQ(array_started(), 0);
  put_var("mdState=STARTED");
  EXPECT_EQ(array_started(), 1);
  EXPECT_EQ(copy_running(), 0);
  copy_thread_running[1] = true;
  EXPECT_EQ(copy_running(), 1);
  copy_thread_running[1] = false;
}

TEST(Devices, PartitionSuffix) {
  const std::pair<const char *, const char *> cases[] = {
      {"sda", "1"}, {"sdaa", "1"}, {"mmcblk0", "p1"}, {"nvme0n1", "p1"}, {"loop7", "p1"}};
  for (const auto &[dev, suffix] : cases) EXPECT_STREQ(partition_suffix(dev), suffix) << dev;
}

TEST(Devices, DangerGuardsTheBootDevice) {
  set_log_sink(stderr_sink);
  put_var("flashDevice=sda");
  for (const char *ok : {"sdb", "sda2", "sdaa", "sdb1", "nvme0n1"}) EXPECT_STREQ(danger(ok), ok);
  for (const char *bad : {"sda", "sda1"})
    EXPECT_EXIT(danger(bad), testing::ExitedWithCode(1),
                "^BUG: invalid target: " + std::string(bad) + "\n$");
  put_var("flashDevice=nvme0n1");
  EXPECT_STREQ(danger("nvme0n1p2"), "nvme0n1p2");
  EXPECT_STREQ(danger("nvme0n11"), "nvme0n11");
  EXPECT_EXIT(danger("nvme0n1p1"), testing::ExitedWithCode(1), "BUG: invalid target: nvme0n1p1");
}

TEST(Devices, DangerWithoutBootDeviceIsABrokenInvariant) {
  set_log_sink(stderr_sink);
  EXPECT_EXIT(danger("sdb"), testing::ExitedWithCode(1), "^danger [0-9]+ flashDevice not found\n$");
}

}  // namespace
