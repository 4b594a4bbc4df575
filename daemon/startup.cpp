// The start-up sequence. See startup.h.
//
// Everything up to the detach runs in the foreground of the boot sequence, single-threaded
// and without the lock: the user's start-up hook and the boot-preparation script finish
// before the boot goes on, and clients that connect meanwhile wait in the socket's backlog.
#include "daemon/startup.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "array/md.h"
#include "array/status.h"
#include "daemon/commands.h"
#include "devices/flash.h"
#include "shares/users.h"
#include "state/config.h"
#include "state/ini.h"
#include "state/publish.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/text.h"

namespace {

constexpr unsigned regular_file = 0x8000;
constexpr unsigned executable_file = 0x8040;

void detect_safe_mode() {
  put_var("safeMode=%s", shcmd_test("grep -wq zarvosafemode /proc/cmdline") == 0 ? "yes" : "no");
  if (stat_mode("/boot/zarvosafemode", regular_file)) {
    put_var("safeMode=yes");
    // the request holds for this boot only
    unlink("/boot/zarvosafemode");
    INFO("safe mode indicated");
  }
}

void detect_unclean_shutdown() {
  if (stat_mode("/boot/config/forcesync", regular_file)) {
    put_var("sbClean=no");
    INFO("unclean shutdown detected");
  } else {
    put_var("sbClean=yes");
  }
}

}  // namespace

void content_init() {
  register_commands();
  get_config("/etc/zarvo-version", {});
  INFO("Zarvo(tm) System Management Utility version %s", NEED_VAR("version"));
  INFO("Copyright (C) Zarvo Systems. All rights reserved.");

  put_var("MAX_ARRAYSZ=%d", MAX_ARRAYSZ);
  put_var("MAX_CACHESZ=%d", 120);
  put_var("MAX_FLASHSZ=%d", 1);
  put_var("startMode=Normal");
  put_var("fsState=Stopped");
  put_var("fsProgress=");
  put_var("fsCopyPrcnt=0");
  put_var("shareCount=0");
  put_var("slot_mask=0");
  put_var("tierfs_mask=0");
  put_reservedNames();

  if (stat_mode("/boot/config/startup", regular_file)) shcmd("/usr/bin/bash /boot/config/startup");
  shcmd_test("mkdir -p /tmp/orvan/dev");
  shcmd_test("mkdir -p /tmp/orvan/mnt");
  shcmd_test("/usr/local/sbin/bootprep");

  detect_safe_mode();
  detect_unclean_shutdown();
  put_var("SYS_FLASH_SLOTS=%i", 1);

  get_ident();
  put_ident();  // written back normalised; the access script applies it
  get_flash();
  get_share_settings();
  read_users();
  // danger() guards the boot device from here on; it must be known before any device work
  set_boot_device();

  if (daemon(0, 0) < 0) {
    perror("daemon");
    exit(1);
  }

  if (pthread_mutex_lock(&state_lock) != 0) ERR("pthread_mutex_lock");
  shcmd("modprobe zfs");
  unload_md_driver();
  // Loads the driver and imports the devices; the load writes every state file.
  get_status(0);
  signal_nginx("start");
  if (pthread_mutex_unlock(&state_lock) != 0) ERR("pthread_mutex_unlock");

  // Runs for the life of the process; never joined.
  pthread_t publisher;
  if (int rc = pthread_create(&publisher, nullptr, pinotify_publish, nullptr); rc != 0) {
    errno = rc;
    ERR("pthread_create");
  }
}

int signal_nginx(const char *action) {
  bool start = strcmp(action, "start") == 0;
  if (start) {
    shcmd("/etc/rc.d/rc.php-fpm start");
    if (stat_mode("/etc/rc.d/rc.zarvo-api", executable_file)) shcmd("/etc/rc.d/rc.zarvo-api install");
  }
  shcmd("/etc/rc.d/rc.nginx %s", action);
  if (start) {
    // a freshly started web server holds no channel yet
    publish_all(state_dir);
    if (stat_mode("/etc/rc.d/rc.bootvol_backup", executable_file))
      shcmd("/etc/rc.d/rc.bootvol_backup start");
  }
  if (start || strcmp(action, "reload") == 0) read_tokens("/var/local/orvan/nginx.ini", "");
  return 0;
}
