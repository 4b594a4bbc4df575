// The I/O engine over members that are plain files: what is written through an array
// device is on its member, P and Q match it, and a lost member reads back from parity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "array.h"
#include "gf.h"

using namespace mdsim;

namespace {

constexpr uint64_t kOffset = 4096;  // partition start inside each member file

class ArrayIo : public testing::Test {
 protected:
  std::string dir;
  std::vector<uint8_t> data[kSlots];  // what each data slot should hold
  std::mt19937 rng{42};

  void SetUp() override {
    std::string tmpl = "/tmp/mdsim-array-" + std::string(6, 'X');  // mkdtemp's pattern
    ASSERT_TRUE(mkdtemp(tmpl.data()));
    dir = tmpl;
    Array& a = array();
    a.sb_path = dir + "/super.dat";
    a.sb = Superblock();
    // sizes in KiB: parities cover the largest data slot; data slots differ in size
    add(0, "P", 2048);
    add(29, "Q", 2048);
    add(1, "D1", 1024);
    add(2, "D2", 2048);
    add(3, "D3", 1536);
    a.started = true;
    apply_runtime();
  }

  void TearDown() override {
    Array& a = array();
    for (auto& m : a.members) member_close(m);
    a.imports = Imports();
    a.sb = Superblock();
    a.started = false;
    apply_runtime();
    a.tuning = Tuning();
    system(("rm -rf " + dir).c_str());
  }

  std::string file(int slot) { return dir + "/m" + std::to_string(slot); }

  void add(int slot, const char* id, uint64_t kib) {
    Array& a = array();
    int fd = open(file(slot).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kOffset + kib * 1024)), 0);
    close(fd);
    Import imp;
    imp.present = true;
    imp.name = "m" + std::to_string(slot);
    imp.size_kib = kib;
    imp.id = id;
    a.imports[slot] = imp;
    ASSERT_EQ(member_open(file(slot), kOffset, kib * 1024, a.members[slot]), 0);
    a.sb.slot[slot] = SbSlot{id, kib, SlotState::ok};
    if (!is_parity(slot)) data[slot].assign(kib * 1024, 0);
  }

  std::vector<uint8_t> on_member(int slot) {
    const Member& m = array().members[slot];
    std::vector<uint8_t> out(m.size);
    EXPECT_EQ(pread(m.fd, out.data(), out.size(), static_cast<off_t>(m.offset)),
              static_cast<ssize_t>(out.size()));
    return out;
  }

  void write(int slot, uint64_t off, size_t len) {
    std::vector<uint8_t> buf(len);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(array_write(slot, array().generation, off, buf.data(), len), long(len));
    std::copy(buf.begin(), buf.end(), data[slot].begin() + off);
  }

  void expect_reads_back(const char* what) {
    for (int s = 1; s < kQ; s++) {
      if (data[s].empty()) continue;
      std::vector<uint8_t> got(data[s].size());
      ASSERT_EQ(array_read(s, array().generation, 0, got.data(), got.size()), long(got.size()));
      EXPECT_TRUE(got == data[s]) << what << ": slot " << s;
    }
  }

  void expect_parity() {
    std::vector<uint8_t> p(2048 * 1024), q(2048 * 1024);
    for (int s = 1; s < kQ; s++)
      for (size_t i = 0; i < data[s].size(); i++) {
        p[i] ^= data[s][i];
        q[i] ^= gf_mul(q_coef(s), data[s][i]);
      }
    EXPECT_TRUE(on_member(0) == p);
    EXPECT_TRUE(on_member(29) == q);
  }

  uint64_t check(bool correct) {
    uint64_t mismatches = 0;
    for (uint64_t off = 0; off < sync_size(); off += kChunk)
      EXPECT_EQ(sync_chunk(off, std::min(kChunk, sync_size() - off), correct, mismatches), 0);
    return mismatches;
  }

  void set_state(int slot, SlotState st) {
    array().sb.slot[slot].state = st;
    apply_runtime();
  }
};

}  // namespace

TEST_F(ArrayIo, WritesKeepBothParitiesAndAnyTwoLostDisksReadBack) {
  for (int method : {0, 1}) {
    array().tuning.write_method = method;
    write(1, 0, 5000);          // unaligned end
    write(2, 1048000, 300000);  // across a chunk boundary
    write(3, 1536 * 1024 - 777, 777);
    write(2, 2048 * 1024 - 4096, 4096);  // beyond the shorter slots
  }
  EXPECT_TRUE(on_member(1) == data[1]);
  expect_parity();
  EXPECT_EQ(check(false), 0u);

  struct Case {
    const char* what;
    std::vector<int> lost;
  } cases[] = {{"one data disk, from P", {2}},
               {"one data disk, from Q", {3, 0}},
               {"two data disks", {1, 3}},
               {"data disk and Q", {2, 29}}};
  for (const auto& c : cases) {
    for (int s : c.lost) set_state(s, SlotState::disabled);
    expect_reads_back(c.what);
    for (int s : c.lost) set_state(s, SlotState::ok);
  }
}

TEST_F(ArrayIo, WritesToAnEmulatedDiskLiveInParity) {
  write(1, 0, 65536);
  set_state(2, SlotState::disabled);
  write(2, 4096, 200000);
  write(1, 100, 100);
  expect_reads_back("emulated");
  EXPECT_EQ(check(false), 0u);  // Q still agrees once D2 is reconstructed from P
  expect_parity();
}

TEST_F(ArrayIo, CheckCountsAFlippedByteAndACorrectingCheckFixesIt) {
  write(2, 0, 100000);
  int fd = array().members[0].fd;
  uint8_t b;
  ASSERT_EQ(pread(fd, &b, 1, kOffset + 12345), 1);
  b ^= 0x40;
  ASSERT_EQ(pwrite(fd, &b, 1, kOffset + 12345), 1);
  EXPECT_EQ(check(false), 1u);
  EXPECT_EQ(check(false), 1u);  // a read-only check leaves it
  EXPECT_EQ(check(true), 1u);
  EXPECT_EQ(check(false), 0u);
  expect_parity();
}

TEST_F(ArrayIo, RebuildWritesTheReplacementFromParity) {
  write(1, 0, 1024 * 1024);
  write(3, 999, 50000);
  std::vector<uint8_t> want = data[1];
  add(1, "NEW", 1024);  // a blank replacement disk
  data[1] = want;
  set_state(1, SlotState::invalid);
  expect_reads_back("before the rebuild");
  write(1, 5000, 3000);  // goes to the new disk and to parity alike
  uint64_t mismatches = 0;
  for (uint64_t off = 0; off < sync_size(); off += kChunk)
    ASSERT_EQ(sync_chunk(off, std::min(kChunk, sync_size() - off), true, mismatches), 0);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(on_member(1) == data[1]);
  set_state(1, SlotState::ok);
  expect_reads_back("after the rebuild");
  EXPECT_EQ(check(false), 0u);
}

TEST_F(ArrayIo, AMemberThatFailsAWriteIsDisabledAndItsDataLivesOnInParity) {
  write(2, 0, 8192);
  Member& m = array().members[2];
  close(m.fd);
  m.fd = open(file(2).c_str(), O_RDONLY);  // every write to it fails from now on
  write(2, 4096, 10000);                   // still succeeds, through parity
  EXPECT_EQ(array().sb.slot[2].state, SlotState::disabled);
  EXPECT_EQ(m.errors, 1u);
  expect_reads_back("after the failure");
  char text[4096] = "";
  int fd = open((dir + "/super.dat").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_GT(read(fd, text, sizeof text - 1), 0);
  close(fd);
  EXPECT_NE(strstr(text, "\nslot.2=D2 2048 disabled\n"), nullptr) << text;
}
