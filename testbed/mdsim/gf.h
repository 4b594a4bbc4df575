// Parity arithmetic of the simulated md driver.
//
// P is the XOR of the data members. Q is the RAID-6 syndrome over GF(2^8) with the field
// polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11d) and generator 2: Q = sum of g^c(i) * D_i,
// where data slot i (1..28) has the coefficient index c(i) = i - 1. With P and Q any two
// data members can be recovered, with one of them any one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mdsim {

uint8_t gf_mul(uint8_t a, uint8_t b);
uint8_t gf_inv(uint8_t a);  // a != 0
uint8_t gf_exp(int power);  // g^power, power taken modulo 255

// The coefficient of a data slot in Q.
inline uint8_t q_coef(int slot) { return gf_exp(slot - 1); }

void xor_into(uint8_t* dst, const uint8_t* src, size_t n);
// dst ^= c * src
void mul_xor_into(uint8_t* dst, const uint8_t* src, uint8_t c, size_t n);
// buf = c * buf
void mul_in_place(uint8_t* buf, uint8_t c, size_t n);

}  // namespace mdsim
