#include "array/status.h"

#include <gtest/gtest.h>

#include <string>

#include "devices/device.h"
#include "state/var.h"

namespace {

std::string var_of(const std::string &key) {
  const char *v = get_var("%s", key.c_str());
  return v ? v : "(none)";
}

class Statistics : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_slots = slot_count;
    saved_devices = devices;
    devices.clear();
  }
  void TearDown() override {
    for (int i = 0; i < 31; i++) {
      for (const char *k : {"rdevStatus", "diskColor", "rdevSpundown", "rdevTemp"})
        put_var("%s.%i", k, i);
    }
    put_var("mdNumInvalid");
    put_var("mdColor");
    slot_count = saved_slots;
    devices = saved_devices;
  }
  void claim(int slot, bool spun_up, int temp = -1) {
    device d;
    d.presence = device_present;
    d.claims = 1;
    d.slot = slot;
    d.spun_up = spun_up;
    d.temp_known = temp >= 0;
    d.temp = temp;
    devices.push_back(d);
  }
  int saved_slots = 0;
  std::vector<device> saved_devices;
};

TEST_F(Statistics, ColoursFollowTheSlotStatusAndSpinState) {
  struct {
    int slot;
    const char *status;  // nullptr: no variable
    const char *colour, *spundown, *temp;
  } cases[] = {
      {0, "DISK_NP_DSBL", "grey-off", "(none)", "(none)"},  // a parity slot
      {1, "DISK_NP_DSBL", "red-off", "(none)", "(none)"},
      {2, nullptr, "grey-off", "(none)", "(none)"},
      {3, "DISK_NP", "grey-off", "(none)", "(none)"},
      {4, "DISK_NP_MISSING", "red-off", "(none)", "(none)"},
      {5, "DISK_OK", "green-on", "0", "34"},       // spinning, temperature known
      {6, "DISK_OK", "green-blink", "1", "*"},     // spun down
      {7, "DISK_NEW", "blue-on", "0", "*"},        // no device: counts as spinning
      {8, "DISK_INVALID", "yellow-on", "0", "*"},
      {9, "DISK_DSBL", "red-on", "0", "*"},
      {10, "DISK_DSBL_NEW", "blue-on", "0", "*"},
      {11, "DISK_SOMETHING", "red-on", "0", "*"},
      {29, "DISK_NP_DSBL", "grey-off", "(none)", "(none)"},  // the other parity slot
  };
  claim(5, true, 34);
  claim(6, false);
  slot_count = 30;
  for (const auto &c : cases)
    if (c.status) put_var("rdevStatus.%i=%s", c.slot, c.status);
  put_var("mdNumInvalid=1");
  EXPECT_EQ(get_statistics(), 0);
  EXPECT_EQ(var_of("mdColor"), "green-on");
  for (const auto &c : cases) {
    std::string n = std::to_string(c.slot);
    EXPECT_EQ(var_of("diskColor." + n), c.colour) << c.slot;
    EXPECT_EQ(var_of("rdevSpundown." + n), c.spundown) << c.slot;
    EXPECT_EQ(var_of("rdevTemp." + n), c.temp) << c.slot;
  }
  put_var("mdNumInvalid=2");
  get_statistics();
  EXPECT_EQ(var_of("mdColor"), "yellow-on");
}

}  // namespace
