#include "pools/pool_config.h"

#include <gtest/gtest.h>

#include "devices/partition.h"
#include "state/var.h"

namespace {

TEST(PoolNames, SubpoolKind) {
  struct {
    const char *name, *kind;
  } cases[] = {
      {"cache", nullptr},         {"cache~special", "special"}, {"cache~logs", "logs"},
      {"a~dedup", "dedup"},       {"a~cache", "cache"},         {"a~spares", "spares"},
      {"a~spare", nullptr},       {"a~cache~x", nullptr},       {"a~x~cache", "cache"},
      {"a~", nullptr},            {"~cache", "cache"},          {"a~Cache", nullptr},
  };
  for (const auto &c : cases) {
    const char *kind = subpool_kind(c.name);
    if (c.kind) {
      ASSERT_NE(kind, nullptr) << c.name;
      EXPECT_STREQ(kind, c.kind) << c.name;
    } else {
      EXPECT_EQ(kind, nullptr) << c.name;
    }
  }
  EXPECT_EQ(subpool_kind(nullptr), nullptr);
}

// Slots 30.. hold pool "tank" (2 slots), its subpools "tank~special" (1) and "tank~cache"
// (2), then pool "fast" (1); a foreign subpool "tanker~logs" must not be taken for tank's.
class PoolSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = slot_count;
    const struct {
      int slot;
      const char *ident;
      int slots;
    } layout[] = {{30, "tank", 2},         {31, "", 0},      {32, "tank~special", 1},
                  {33, "tank~cache", 2},   {34, "", 0},      {35, "tanker~logs", 1},
                  {36, "fast", 1}};
    for (const auto &l : layout) {
      if (*l.ident) put_var("diskIdent.%i=%s", l.slot, l.ident);
      put_var("diskSlots.%i=%i", l.slot, l.slots);
    }
    slot_count = 37;
  }
  void TearDown() override {
    for (int i = 30; i < 37; i++) {
      put_var("diskIdent.%i", i);
      put_var("diskSlots.%i", i);
    }
    slot_count = saved;
  }
  int saved = 0;
};

TEST_F(PoolSlots, NextSubpoolKind) {
  EXPECT_STREQ(next_subpool_kind(32, "tank"), "special");
  EXPECT_STREQ(next_subpool_kind(33, "tank"), "cache");
  EXPECT_EQ(next_subpool_kind(35, "tank"), nullptr);  // tanker's, not tank's
  EXPECT_EQ(next_subpool_kind(31, "tank"), nullptr);  // a member slot without ident
  EXPECT_EQ(next_subpool_kind(36, "tank"), nullptr);
  EXPECT_EQ(next_subpool_kind(37, "tank"), nullptr);  // beyond slot_count
  EXPECT_EQ(next_subpool_kind(0, "tank"), nullptr);
}

TEST_F(PoolSlots, TotalPoolSlotsCountsTheSubpoolsThatFollow) {
  EXPECT_EQ(total_pool_slots(30, "tank"), 5);
  EXPECT_EQ(total_pool_slots(32, "tank~special"), 1);  // a subpool counts only itself
  EXPECT_EQ(total_pool_slots(36, "fast"), 1);
  // A subpool slot that claims no slots ends the walk instead of looping on it.
  put_var("diskSlots.33=0");
  EXPECT_EQ(total_pool_slots(30, "tank"), 3);
}

}  // namespace
