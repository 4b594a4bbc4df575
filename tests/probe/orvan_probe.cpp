// A probe for system tests: runs one of the daemon's own routines inside a world and prints
// the variable table afterwards, for behaviour that no state file shows yet. It is built
// with the tests and never installed.
//
//   orvan_probe signal_nginx ACTION     signal_nginx(ACTION)
//   orvan_probe boot_device             set_boot_device()
//   orvan_probe settings                the settings files start-up loads
//   orvan_probe inventory N             N device scans; each result, then the device table
//   orvan_probe layout NAME [CODE]      a scan, mkmbr(NAME, CODE) when a code is given, then
//                                       ckmbr(NAME) as "ckmbr=RESULT CODE START SIZE"
//   orvan_probe danger NAME             the boot device found, then danger(NAME)
//   orvan_probe flash                   a scan, then import_flash_device(0)
//   orvan_probe md_start [VAR=VALUE...] the driver loaded, the variables set (startState
//                                       defaults to the driver's state), the array started
//   orvan_probe luks KEY                md_start, then on data slot 1 with luksKey KEY:
//                                       format, open again, close, open with a wrong
//                                       key; then open without a key
//   orvan_probe event NAME              post_event(NAME) on a thread that holds the state
//                                       lock, while this one takes the lock meanwhile
// Each prints every variable as name=value lines, sorted.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "array/md.h"
#include "daemon/startup.h"
#include "devices/flash.h"
#include "devices/inventory.h"
#include "devices/luks.h"
#include "devices/partition.h"
#include "shares/users.h"
#include "state/config.h"
#include "state/publish.h"
#include "state/var.h"

namespace {

// What start-up loads before the first status refresh: the settings files, the users, the
// empty share list the state files need.
void load_settings() {
  get_ident();
  get_flash();
  get_share_settings();
  read_users();
  put_var("shareCount=0");
}

// The settings start-up loads, then the driver loaded and the array started. The load's
// result when it fails, else the start's.
int md_start(int count, char **assignments) {
  set_boot_device();
  load_settings();
  if (load_md_driver(0) < 0) return -1;
  put_var("startState=%s", get_var("mdState"));
  for (int i = 0; i < count; i++) put_var("%s", assignments[i]);
  return load_md_driver(1);
}

void print_vars() {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < table_size(&var); i++)
    if (table_is_used(&var, i)) lines.push_back(std::string(var.buckets[i].key) + "=" + var.buckets[i].value);
  std::sort(lines.begin(), lines.end());
  for (const auto &l : lines) puts(l.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "signal_nginx") == 0) {
    signal_nginx(argv[2]);
  } else if (argc == 2 && strcmp(argv[1], "boot_device") == 0) {
    set_boot_device();
  } else if (argc == 2 && strcmp(argv[1], "settings") == 0) {
    get_ident();
    get_flash();
    get_share_settings();
  } else if (argc == 3 && strcmp(argv[1], "inventory") == 0) {
    for (int i = 0; i < atoi(argv[2]); i++) printf("scan=%d\n", device_inventory(0));
    name_unassigned_devices();
    for (const device &d : devices)
      printf("device=%s %s %s %s %llu %llu %d %d %d %d\n", d.ident.c_str(), d.name.c_str(),
             d.transport.c_str(), d.id.c_str(), static_cast<unsigned long long>(d.sector_size),
             static_cast<unsigned long long>(d.sectors), d.rotational, d.discard, d.removable,
             d.presence);
    return 0;
  } else if ((argc == 3 || argc == 4) && strcmp(argv[1], "layout") == 0) {
    set_boot_device();
    device_inventory(0);
    if (argc == 4) printf("mkmbr=%d\n", mkmbr(argv[2], atoi(argv[3])));
    int code = 0;
    uint64_t start = 0, size = 0;
    int rc = ckmbr(argv[2], &code, &start, &size);
    printf("ckmbr=%d %d %llu %llu\n", rc, code, static_cast<unsigned long long>(start),
           static_cast<unsigned long long>(size));
    return 0;
  } else if (argc == 3 && strcmp(argv[1], "danger") == 0) {
    set_boot_device();
    printf("passed=%s\n", danger(argv[2]));
    return 0;
  } else if (argc == 2 && strcmp(argv[1], "flash") == 0) {
    set_boot_device();
    device_inventory(0);
    import_flash_device(0);
  } else if (argc >= 2 && strcmp(argv[1], "md_start") == 0) {
    printf("start=%d\n", md_start(argc - 2, argv + 2));
  } else if (argc == 3 && strcmp(argv[1], "luks") == 0) {
    printf("start=%d\n", md_start(0, nullptr));
    put_var("luksKey=%s", argv[2]);
    // Each step's result first, then the mapped name it left.
    auto step = [](const char *what, int result) {
      printf("%s=%d mapped=%s\n", what, result, get_var("diskNameMapped.1"));
    };
    step("format", disk_luksFormat(1));
    step("open_again", disk_luksOpen(1));
    step("close", disk_luksClose(1));
    put_var("luksKey=%s", "d3Jvbmc");  // "wrong"
    step("open_wrong_key", disk_luksOpen(1));
    put_var("luksKey");
    put_var("luksKeyfile=/root/no-such-keyfile");
    step("open_without_key", disk_luksOpen(1));
  } else if (argc == 3 && strcmp(argv[1], "event") == 0) {
    load_settings();
    static std::atomic<bool> done{false};
    std::thread poster([name = argv[2]] {
      pthread_mutex_lock(&state_lock);
      post_event(name);
      pthread_mutex_unlock(&state_lock);
      done = true;
    });
    usleep(300000);  // the poster has the lock and runs the hook by now
    pthread_mutex_lock(&state_lock);
    printf("locked_while_hook_runs=%d\n", done ? 0 : 1);
    pthread_mutex_unlock(&state_lock);
    poster.join();
  } else {
    fprintf(stderr, "usage: orvan_probe signal_nginx ACTION | boot_device | settings | inventory N"
                    " | layout NAME [CODE] | danger NAME | flash | md_start [VAR=VALUE...] | luks KEY"
                    " | event NAME\n");
    return 2;
  }
  print_vars();
  return 0;
}
