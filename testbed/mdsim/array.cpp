// The array's I/O engine. Every request and every sync chunk is turned into a stripe: the
// same byte range on every slot. A data slot that cannot be read (missing, disabled, not
// yet rebuilt there, or failing) is reconstructed from P, or from Q, or from both when two
// are gone; the parities used for that are then no longer a check of anything.
#include "array.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "gf.h"
#include "log.h"

namespace mdsim {

Array& array() {
  static Array a;
  return a;
}

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

// A 4096-aligned buffer that owns its memory.
struct Buf {
  uint8_t* p = nullptr;
  Buf() = default;
  explicit Buf(size_t n) {
    p = static_cast<uint8_t*>(aligned_alloc(kBlock, (n + kBlock - 1) / kBlock * kBlock));
  }
  Buf(Buf&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
  Buf& operator=(Buf&& o) noexcept {
    std::swap(p, o.p);
    return *this;
  }
  ~Buf() { free(p); }
};

struct Stripe {
  uint64_t off;
  size_t len;
  std::array<Buf, kSlots> b;
  Stripe(uint64_t o, size_t l) : off(o), len(l) {}
  uint8_t* get(int s) {
    if (!b[s].p) b[s] = Buf(len);
    return b[s].p;
  }
  uint64_t end() const { return off + len; }
};

bool in_array(int s) { return array().run[s].role != Role::none; }

bool has_device(int s) {
  Role r = array().run[s].role;
  return r == Role::direct || r == Role::rebuild;
}

bool valid_at(int s, uint64_t end) {
  const SlotRun& r = array().run[s];
  return r.role == Role::direct || (r.role == Role::rebuild && end <= r.rebuilt);
}

// The slot's member over the stripe, zeros beyond the slot's size.
int read_slot(int s, Stripe& st) {
  Array& a = array();
  uint8_t* buf = st.get(s);
  int r = member_read(a.members[s], st.off, buf, st.len);
  if (r < 0) return r;
  uint64_t size = a.run[s].size;
  if (st.end() > size) {
    size_t keep = st.off >= size ? 0 : static_cast<size_t>(size - st.off);
    memset(buf + keep, 0, st.len - keep);
  }
  return 0;
}

void disable_slot(int s, const char* why) {
  Array& a = array();
  if (a.sb.slot[s].state == SlotState::disabled) return;
  a.sb.slot[s].state = SlotState::disabled;
  apply_runtime();
  logf(LOG_ERR, "md: disk%d %s error, disabled", s, why);
  save_superblock();
}

// Writes a slot's member; a failing member is disabled, its contents now come from
// parity (which the caller has already brought up to date).
int write_slot(int s, uint64_t off, const uint8_t* buf, size_t len) {
  int r = member_write(array().members[s], off, buf, len);
  if (r < 0) disable_slot(s, "write");
  return r;
}

void compute_parity(Stripe& st, uint8_t* p, uint8_t* q) {
  if (p) memset(p, 0, st.len);
  if (q) memset(q, 0, st.len);
  for (int s = 1; s < kQ; s++) {
    if (!in_array(s)) continue;
    if (p) xor_into(p, st.b[s].p, st.len);
    if (q) mul_xor_into(q, st.b[s].p, q_coef(s), st.len);
  }
}

// Fills every data slot of the array with its logical contents; `used` gets the bits of
// the parity slots spent on reconstruction.
int load_data(Stripe& st, uint32_t& used) {
  Array& a = array();
  used = 0;
  int missing[kSlots];
  int n = 0;
  for (int s = 1; s < kQ; s++) {
    if (!in_array(s)) continue;
    if (valid_at(s, st.end())) {
      if (read_slot(s, st) == 0) continue;
      logf(LOG_WARNING, "md: disk%d read error at %llu, reconstructing", s,
           static_cast<unsigned long long>(st.off));
    }
    missing[n++] = s;
  }
  if (n == 0) return 0;
  bool pv = valid_at(kP, st.end()), qv = valid_at(kQ, st.end());
  if (n > int(pv) + int(qv) || n > 2) return -EIO;
  if (pv && read_slot(kP, st) != 0) pv = false;
  if (qv && (n == 2 || !pv) && read_slot(kQ, st) != 0) qv = false;
  if (n > int(pv) + int(qv)) return -EIO;
  auto others = [&](auto&& fn) {
    for (int s = 1; s < kQ; s++)
      if (in_array(s) && s != missing[0] && (n < 2 || s != missing[1])) fn(s);
  };
  if (n == 1) {
    int x = missing[0];
    uint8_t* d = st.get(x);
    if (pv) {
      memcpy(d, st.b[kP].p, st.len);
      others([&](int s) { xor_into(d, st.b[s].p, st.len); });
      used = 1u << kP;
    } else {
      memcpy(d, st.b[kQ].p, st.len);
      others([&](int s) { mul_xor_into(d, st.b[s].p, q_coef(s), st.len); });
      mul_in_place(d, gf_inv(q_coef(x)), st.len);
      used = 1u << kQ;
    }
  } else {
    int x = missing[0], y = missing[1];
    uint8_t* dx = st.get(x);
    uint8_t* dy = st.get(y);
    // dy = P ^ sum of the others = Dx ^ Dy; dx = Q ^ syndrome of the others = gx Dx ^ gy Dy
    memcpy(dy, st.b[kP].p, st.len);
    memcpy(dx, st.b[kQ].p, st.len);
    others([&](int s) {
      xor_into(dy, st.b[s].p, st.len);
      mul_xor_into(dx, st.b[s].p, q_coef(s), st.len);
    });
    uint8_t gx = q_coef(x), gy = q_coef(y);
    mul_xor_into(dx, dy, gy, st.len);         // (gx ^ gy) Dx
    mul_in_place(dx, gf_inv(gx ^ gy), st.len);  // Dx
    xor_into(dy, dx, st.len);                 // Dy
    used = (1u << kP) | (1u << kQ);
  }
  for (int i = 0; i < n; i++) {
    int s = missing[i];
    uint64_t size = a.run[s].size;
    if (st.end() > size) {
      size_t keep = st.off >= size ? 0 : static_cast<size_t>(size - st.off);
      memset(st.b[s].p + keep, 0, st.len - keep);
    }
  }
  return 0;
}

// The logical contents of one data slot over the stripe.
int load_slot(int d, Stripe& st) {
  if (valid_at(d, st.end()) && read_slot(d, st) == 0) return 0;
  uint32_t used;
  return load_data(st, used);
}

// Splits [off, off+len) of a slot of `size` bytes at chunk boundaries into block-aligned
// stripes; fn(stripe, offset of the request's first byte in it, bytes of it in the stripe).
template <typename Fn>
long for_each_stripe(uint64_t off, size_t len, uint64_t size, Fn&& fn) {
  size_t done = 0;
  while (done < len) {
    uint64_t pos = off + done;
    uint64_t chunk_end = std::min((pos / kChunk + 1) * kChunk, off + len);
    uint64_t a = pos / kBlock * kBlock;
    uint64_t e = std::min((chunk_end + kBlock - 1) / kBlock * kBlock, size);
    Stripe st(a, static_cast<size_t>(e - a));
    size_t part = static_cast<size_t>(chunk_end - pos);
    int r = fn(st, static_cast<size_t>(pos - a), part, done);
    if (r < 0) return done ? static_cast<long>(done) : r;
    done += part;
  }
  return static_cast<long>(done);
}

}  // namespace

bool serves_device(int slot) {
  return !is_parity(slot) && array().started && array().run[slot].role != Role::none;
}

void apply_runtime() {
  Array& a = array();
  for (int s = 0; s < kSlots; s++) {
    SlotRun& r = a.run[s];
    Role role = a.started ? role_of(a.sb.slot[s], a.imports[s]) : Role::none;
    if (role != Role::rebuild) r.rebuilt = 0;
    r.role = role;
    r.size = role == Role::none ? 0 : a.sb.slot[s].size_kib * 1024;
  }
}

int save_superblock() {
  Array& a = array();
  a.sb.events++;
  a.sb.updated = time(nullptr);
  int r = superblock_save(a.sb_path, a.sb);
  if (r < 0) logf(LOG_ERR, "md: cannot write superblock %s: %s", a.sb_path.c_str(), strerror(-r));
  a.sb_dirty = r < 0;
  return r;
}

long array_read(int d, uint64_t gen, uint64_t off, uint8_t* out, size_t len) {
  Array& a = array();
  std::lock_guard lock(a.io);
  if (!serves_device(d) || gen != a.generation) return -EIO;
  uint64_t size = a.run[d].size;
  if (off >= size) return 0;
  len = static_cast<size_t>(std::min<uint64_t>(len, size - off));
  return for_each_stripe(off, len, size, [&](Stripe& st, size_t at, size_t n, size_t done) {
    int r = load_slot(d, st);
    if (r < 0) return r;
    memcpy(out + done, st.b[d].p + at, n);
    return 0;
  });
}

long array_write(int d, uint64_t gen, uint64_t off, const uint8_t* in, size_t len) {
  Array& a = array();
  std::lock_guard lock(a.io);
  if (!serves_device(d) || gen != a.generation) return -EIO;
  uint64_t size = a.run[d].size;
  if (off >= size) return -ENOSPC;
  len = static_cast<size_t>(std::min<uint64_t>(len, size - off));
  bool reconstruct = a.tuning.write_method == 1;
  return for_each_stripe(off, len, size, [&](Stripe& st, size_t at, size_t n, size_t done) {
    if (reconstruct) {
      uint32_t used;
      int r = load_data(st, used);
      if (r < 0) return r;
      memcpy(st.b[d].p + at, in + done, n);
      Buf p(st.len), q(st.len);
      compute_parity(st, has_device(kP) ? p.p : nullptr, has_device(kQ) ? q.p : nullptr);
      if (has_device(kP)) write_slot(kP, st.off, p.p, st.len);
      if (has_device(kQ)) write_slot(kQ, st.off, q.p, st.len);
    } else {
      int r = load_slot(d, st);
      if (r < 0) return r;
      // delta = old ^ new, kept in the new data's place until the parities have it
      Buf delta(st.len);
      memcpy(delta.p, st.b[d].p, st.len);
      memcpy(st.b[d].p + at, in + done, n);
      xor_into(delta.p, st.b[d].p, st.len);
      for (int p : {kP, kQ}) {
        if (!has_device(p)) continue;
        if (read_slot(p, st) != 0) {
          disable_slot(p, "read");
          continue;
        }
        if (p == kP) xor_into(st.b[p].p, delta.p, st.len);
        else mul_xor_into(st.b[p].p, delta.p, q_coef(d), st.len);
        write_slot(p, st.off, st.b[p].p, st.len);
      }
    }
    if (has_device(d)) {
      int r = write_slot(d, st.off, st.b[d].p, st.len);
      // A member that failed is disabled; its data lives on in parity if there is one.
      if (r < 0 && !serves_device(d)) return r;
    }
    return 0;
  });
}

int array_flush() {
  Array& a = array();
  std::lock_guard lock(a.io);
  int result = 0;
  for (int s = 0; s < kSlots; s++)
    if (has_device(s) && member_sync(a.members[s]) < 0) result = -EIO;
  return result;
}

uint64_t sync_size() {
  Array& a = array();
  uint64_t size = 0;
  for (int s = 0; s < kSlots; s++) size = std::max(size, a.run[s].size);
  return size;
}

int sync_chunk(uint64_t off, size_t len, bool correct, uint64_t& mismatches) {
  Array& a = array();
  Stripe st(off, len);
  uint32_t used;
  int r = load_data(st, used);
  if (r < 0) return r;
  for (int s = 1; s < kQ; s++)
    if (a.run[s].role == Role::rebuild) write_slot(s, off, st.b[s].p, len);
  bool need_p = in_array(kP), need_q = in_array(kQ);
  Buf p(need_p ? len : 0), q(need_q ? len : 0);
  compute_parity(st, need_p ? p.p : nullptr, need_q ? q.p : nullptr);
  for (int s : {kP, kQ}) {
    const uint8_t* computed = s == kP ? p.p : q.p;
    if (a.run[s].role == Role::rebuild) {
      write_slot(s, off, computed, len);
    } else if (a.run[s].role == Role::direct && !(used & (1u << s))) {
      if (read_slot(s, st) != 0) return -EIO;
      bool wrong = false;
      for (size_t b = 0; b < len; b += kBlock) {
        size_t n = std::min<size_t>(kBlock, len - b);
        if (memcmp(st.b[s].p + b, computed + b, n) != 0) {
          mismatches++;
          wrong = true;
        }
      }
      if (wrong && correct) write_slot(s, off, computed, len);
    }
  }
  for (int s = 0; s < kSlots; s++)
    if (a.run[s].role == Role::rebuild) a.run[s].rebuilt = std::max(a.run[s].rebuilt, off + len);
  return 0;
}

}  // namespace mdsim
