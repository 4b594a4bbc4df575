#include <gtest/gtest.h>

#include "gf.h"

using namespace mdsim;

TEST(Gf, FieldOfTheRaid6Polynomial) {
  EXPECT_EQ(gf_mul(0x80, 2), 0x1d);  // x^8 = x^4 + x^3 + x^2 + 1
  EXPECT_EQ(gf_mul(3, 7), 9);
  EXPECT_EQ(gf_exp(0), 1);
  EXPECT_EQ(gf_exp(8), 0x1d);
  EXPECT_EQ(gf_exp(255), 1);
  for (int a = 1; a < 256; a++) {
    EXPECT_EQ(gf_mul(static_cast<uint8_t>(a), gf_inv(static_cast<uint8_t>(a))), 1) << a;
    EXPECT_EQ(gf_mul(static_cast<uint8_t>(a), 0), 0);
  }
  // every data slot has its own coefficient, so any two lost slots can be told apart
  for (int x = 1; x < 29; x++)
    for (int y = x + 1; y < 29; y++) EXPECT_NE(q_coef(x), q_coef(y));
}

TEST(Gf, BufferOperationsMatchBytewiseProducts) {
  uint8_t src[37], dst[37], want[37];
  for (int i = 0; i < 37; i++) {
    src[i] = static_cast<uint8_t>(i * 7 + 3);
    dst[i] = want[i] = static_cast<uint8_t>(i * 13);
  }
  mul_xor_into(dst, src, 0x53, sizeof dst);
  for (int i = 0; i < 37; i++) want[i] ^= gf_mul(0x53, src[i]);
  EXPECT_EQ(0, memcmp(dst, want, sizeof dst));
  mul_in_place(dst, 0x8e, sizeof dst);
  for (int i = 0; i < 37; i++) want[i] = gf_mul(0x8e, want[i]);
  EXPECT_EQ(0, memcmp(dst, want, sizeof dst));
}
