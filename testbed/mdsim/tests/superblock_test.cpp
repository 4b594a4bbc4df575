#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "superblock.h"

using namespace mdsim;

TEST(Superblock, RoundTripsThroughItsFile) {
  std::string tmpl = "/tmp/mdsim-sb-" + std::string(6, 'X');  // mkdtemp's pattern
  char* dir = mkdtemp(tmpl.data());
  ASSERT_TRUE(dir);
  std::string path = std::string(dir) + "/super.dat";
  Superblock sb, back;
  std::string why;
  ASSERT_EQ(superblock_load(path, back, why), 0);  // missing: a new array
  EXPECT_TRUE(back.empty());
  sb.name = "tower";
  sb.events = 7;
  sb.state = 1;
  sb.sync_errs = 3;
  sb.sync_exit = -4;
  sb.slot[0] = {"WDC_1", 2000, SlotState::invalid};
  sb.slot[5] = {"ST_2", 1000, SlotState::disabled};
  ASSERT_EQ(superblock_save(path, sb), 0);
  ASSERT_EQ(superblock_load(path, back, why), 0) << why;
  EXPECT_EQ(superblock_format(back), superblock_format(sb));
  EXPECT_EQ(back.num_disks(), 7);
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(Superblock, RefusesWhatItDidNotWrite) {
  const char* bad[] = {
      "", "garbage\n", "mdsim-superblock 2\n", "mdsim-superblock 1\nevents=x\n",
      "mdsim-superblock 1\nslot.30=A 1 ok\n", "mdsim-superblock 1\nslot.1=A 1 broken\n",
      "mdsim-superblock 1\nslot.1=A\n", "mdsim-superblock 1\nno equals sign\n"};
  for (const char* text : bad) {
    Superblock sb;
    sb.name = "kept";
    std::string why;
    EXPECT_EQ(superblock_parse(text, sb, why), -1) << text;
    EXPECT_EQ(sb.name, "kept");
  }
}
