#include "devices/flash.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(BootDevice, DiskOfPartitionOne) {
  const std::pair<const char *, const char *> cases[] = {
      {"sda1", "sda"},   {"sdaa1", "sdaa"},        {"nvme0n1p1", "nvme0n1"},
      {"mmcblk0p1", "mmcblk0"}, {"sda2", ""},      {"sda11", ""},
      {"nvme0n1p2", ""}, {"sda", ""},              {"", ""},
      {"1", ""},
  };
  for (const auto &[part, disk] : cases) EXPECT_EQ(disk_of_partition1(part), disk) << part;
}

}  // namespace
