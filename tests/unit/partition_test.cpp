#include "devices/partition.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint64_t tb3_sectors = 5860533168ull;  // a 3 TB disk of 512-byte sectors
constexpr uint64_t gb16 = 31266816ull;

TEST(Layouts, DefaultsAndSizes) {
  EXPECT_EQ(default_layout(512, gb16, 1), 2);
  EXPECT_EQ(default_layout(512, gb16, 0), 4);
  EXPECT_EQ(default_layout(512, tb3_sectors, 1), 3);  // too large for an MBR: GPT, rotational or not
  EXPECT_EQ(default_layout(512, tb3_sectors, 0), 5);
  EXPECT_EQ(default_layout(4096, 1000000, 1), 3);
  EXPECT_EQ(default_layout(512, 4294967295ull, 1), 2);

  EXPECT_EQ(layout_size_kib(1, 1000, 512), (1000 - 63) / 2 / 4 * 4);
  EXPECT_EQ(layout_size_kib(4, gb16, 512), (gb16 - 2048) / 2 / 4 * 4);
  EXPECT_EQ(layout_size_kib(3, tb3_sectors, 512), (tb3_sectors - 64 - 33) / 2 / 4 * 4);
  EXPECT_EQ(layout_size_kib(5, 732566646ull, 4096), (732566646ull - 256 - 5) * 4);
  EXPECT_EQ(layout_size_kib(0, gb16, 512), 0u);
  EXPECT_STREQ(layout_text(3), "GPT: 4KiB-aligned");
  EXPECT_EQ(layout_text(6), nullptr);
}

TEST(Layouts, TemplateBytes) {
  unsigned char t[mbr_buffer_size];
  mbr_template(t, 0x83, 2048, gb16);
  const unsigned char entry[] = {0, 0, 0, 0, 0x83, 0, 0, 0, 0x00, 0x08, 0, 0};
  EXPECT_EQ(memcmp(t + 446, entry, sizeof entry), 0);
  uint32_t length = t[458] | t[459] << 8 | t[460] << 16 | static_cast<uint32_t>(t[461]) << 24;
  EXPECT_EQ(length, gb16 - 2048);
  EXPECT_EQ(t[510], 0x55);
  EXPECT_EQ(t[511], 0xAA);
  mbr_template(t, 0xEE, 1, tb3_sectors);
  const unsigned char protective[] = {0, 0, 2, 0, 0xEE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(memcmp(t + 446, protective, sizeof protective), 0);
}

TEST(Layouts, FirstSectors) {
  unsigned char s[mbr_buffer_size];
  struct sector_case {
    unsigned type;
    uint32_t start;
    first_sector_kind kind;
    int code;
  };
  const sector_case cases[] = {
      {0x83, 63, sector_mbr, 1},        {0x83, 64, sector_mbr, 2},
      {0x83, 2048, sector_mbr, 4},      {0x83, 4096, sector_unknown, 0},
      {0x07, 2048, sector_unknown, 0},  {0, 64, sector_factory_erased, 0},
      {0xEE, 1, sector_protective_gpt, 0}, {0, 1, sector_factory_erased, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.type * 100000 + c.start);
    mbr_template(s, c.type, c.start, gb16);
    int code = 0;
    EXPECT_EQ(classify_first_sector(s, gb16, &code), c.kind);
    if (c.kind == sector_mbr) {
      EXPECT_EQ(code, c.code);
    }
  }
  // our MBR with boot code in front is still ours; an erased disk must be blank before it
  mbr_template(s, 0x83, 64, gb16);
  s[0] = 0xEB;
  int code = 0;
  EXPECT_EQ(classify_first_sector(s, gb16, &code), sector_mbr);
  mbr_template(s, 0, 64, gb16);
  s[0] = 0xEB;
  EXPECT_EQ(classify_first_sector(s, gb16, &code), sector_unknown);
  // an all-zero sector is unknown, not factory-erased
  memset(s, 0, sizeof s);
  EXPECT_EQ(classify_first_sector(s, gb16, &code), sector_unknown);
  // a protective MBR with FE in byte 451 is a protective MBR all the same
  mbr_template(s, 0xEE, 1, tb3_sectors);
  s[451] = 0xFE;
  EXPECT_EQ(classify_first_sector(s, tb3_sectors, &code), sector_protective_gpt);
  // an MBR written for a different disk size is not ours
  mbr_template(s, 0x83, 2048, gb16 + 8);
  EXPECT_EQ(classify_first_sector(s, gb16, &code), sector_unknown);
}

TEST(Layouts, GptPartitionSizeDecides) {
  uint64_t kib64 = layout_size_kib(3, tb3_sectors, 512);
  EXPECT_EQ(gpt_layout_of(kib64, tb3_sectors, 512), 3);
  EXPECT_EQ(gpt_layout_of(layout_size_kib(5, tb3_sectors, 512), tb3_sectors, 512), 5);
  EXPECT_EQ(gpt_layout_of(kib64 - 4, tb3_sectors, 512), 0);
}

}  // namespace

namespace {

TEST(Blkid, TypeAndUuidOfALine) {
  struct {
    const char *line, *type, *uuid;
  } cases[] = {
      {"/dev/sdb1: UUID=\"0b1c\" BLOCK_SIZE=\"512\" TYPE=\"xfs\" PARTUUID=\"99-01\"", "xfs", "0b1c"},
      {"/dev/sdc1: UUID=\"aa\" UUID_SUB=\"bb\" BLOCK_SIZE=\"4096\" TYPE=\"btrfs\"", "btrfs", "aa"},
      {"/dev/sdd1: LABEL=\"tank\" UUID=\"123\" TYPE=\"zfs_member\"", "zfs", "123"},
      {"/dev/sda1: LABEL_FATBOOT=\"ZARVO\" LABEL=\"ZARVO\" UUID=\"2732-64F5\" TYPE=\"vfat\"", "vfat",
       "2732-64F5"},
      {"/dev/md1p1: UUID=\"f00\" TYPE=\"crypto_LUKS\"", "luks", "f00"},
      {"/dev/sde1: UUID=\"r\" TYPE=\"reiserfs\"", "reiserfs", "r"},
      {"/dev/sdf1: UUID=\"e\" TYPE=\"ext4\"", "", ""},     // not a type the system uses
      {"/dev/sdg1: PARTUUID=\"1-01\"", "", ""},             // PARTUUID= alone has "UUID=" in it
      {"/dev/sdh1: TYPE=\"xfs\"", "", ""},                  // no UUID: nothing usable
      {"", "", ""},
  };
  for (const auto &c : cases) {
    std::string uuid;
    EXPECT_EQ(blkid_line_fsType(c.line, &uuid), c.type) << c.line;
    EXPECT_EQ(uuid, c.uuid) << c.line;
  }
}

}  // namespace
