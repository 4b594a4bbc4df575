// GF(2^8) by log and antilog tables, made once at start-up; a product of a whole buffer by
// one constant goes through a 256-byte row of the multiplication table, which keeps the
// inner loop free of branches.
#include "gf.h"

#include <array>

namespace mdsim {
namespace {

struct Tables {
  std::array<uint8_t, 512> exp{};
  std::array<int, 256> log{};
  std::array<std::array<uint8_t, 256>, 256> mul{};

  Tables() {
    int x = 1;
    for (int i = 0; i < 255; i++) {
      exp[i] = static_cast<uint8_t>(x);
      log[x] = i;
      x <<= 1;
      if (x & 0x100) x ^= 0x11d;
    }
    for (int i = 255; i < 512; i++) exp[i] = exp[i - 255];
    log[0] = -1;
    for (int a = 0; a < 256; a++)
      for (int b = 0; b < 256; b++)
        mul[a][b] = (a == 0 || b == 0) ? 0 : exp[log[a] + log[b]];
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

uint8_t gf_mul(uint8_t a, uint8_t b) { return tables().mul[a][b]; }

uint8_t gf_inv(uint8_t a) { return tables().exp[255 - tables().log[a]]; }

uint8_t gf_exp(int power) {
  power %= 255;
  if (power < 0) power += 255;
  return tables().exp[power];
}

void xor_into(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    __builtin_memcpy(&a, dst + i, 8);
    __builtin_memcpy(&b, src + i, 8);
    a ^= b;
    __builtin_memcpy(dst + i, &a, 8);
  }
  for (; i < n; i++) dst[i] ^= src[i];
}

void mul_xor_into(uint8_t* dst, const uint8_t* src, uint8_t c, size_t n) {
  if (c == 0) return;
  if (c == 1) return xor_into(dst, src, n);
  const auto& row = tables().mul[c];
  for (size_t i = 0; i < n; i++) dst[i] ^= row[src[i]];
}

void mul_in_place(uint8_t* buf, uint8_t c, size_t n) {
  const auto& row = tables().mul[c];
  for (size_t i = 0; i < n; i++) buf[i] = row[buf[i]];
}

}  // namespace mdsim
