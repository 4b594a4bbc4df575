// The status refresh. See status.h.
#include "array/status.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "array/md.h"
#include "devices/inventory.h"
#include "state/var.h"
#include "util/text.h"

namespace {

struct slot_colour {
  const char *colour;
  bool powered;  // whether the device's spin state decides the mode
};

slot_colour colour_of(const char *status, int slot) {
  if (!status || strcmp(status, "DISK_NP") == 0) return {"grey", false};
  if (strcmp(status, "DISK_NP_DSBL") == 0)
    return {is_parity_slot(slot) ? "grey" : "red", false};
  if (strcmp(status, "DISK_NP_MISSING") == 0) return {"red", false};
  static constexpr struct {
    const char *status, *colour;
  } present[] = {{"DISK_OK", "green"},   {"DISK_NEW", "blue"},  {"DISK_INVALID", "yellow"},
                 {"DISK_DSBL", "red"},   {"DISK_DSBL_NEW", "blue"}};
  for (const auto &p : present)
    if (strcmp(status, p.status) == 0) return {p.colour, true};
  return {"red", true};
}

}  // namespace

int get_statistics() {
  put_var("mdColor=%s-%s", get_var_int("mdNumInvalid") > 1 ? "yellow" : "green", "on");
  for (int slot = 0; slot < slot_count; slot++) {
    slot_colour c = colour_of(get_var("rdevStatus.%i", slot), slot);
    const char *mode = "off";
    if (c.powered) {
      const device *d = device_in_slot(slot);
      // A slot without a device counts as spinning.
      bool spun_down = d && !d->spun_up;
      mode = spun_down ? "blink" : "on";
      put_var("rdevSpundown.%i=%d", slot, spun_down ? 1 : 0);
      if (d && d->temp_known)
        put_var("rdevTemp.%i=%d", slot, d->temp);
      else
        put_var("rdevTemp.%i=*", slot);
    }
    put_var("diskColor.%i=%s-%s", slot, c.colour, mode);
  }
  return 0;
}

void get_status(int mode) {
  (void)mode;  // the SMART pass joins with the spin-control thread
  if (mdstatus() < 0) {
    load_md_driver(0);
  } else if (!array_started() && !copy_running() && device_inventory(1) > 0) {
    unload_md_driver();
    load_md_driver(0);
  }
  get_statistics();
  if (const char *state = get_var("mdState"); state && strcmp(state, "SWAP_DSBL") == 0) {
    int percent = 100;
    if (get_var_int("mdSwapP") && copy_percent[0] < percent) percent = copy_percent[0];
    if (get_var_int("mdSwapQ") && copy_percent[1] < percent) percent = copy_percent[1];
    put_var("fsCopyPrcnt=%d", percent);
    put_var("fsState=%s", copy_running() ? "Copying" : "Stopped");
  }
  put_var("shareShuttleActive=%s", stat_mode("/var/run/shuttle.pid", S_IFREG) ? "yes" : "no");
}
