// mdsim: the test bed's md driver, in user space.
//
//   mdsim --super PATH --mount DIR --dev DEVDIR [--foreground] [--pidfile FILE]
//         [--speed KIB_PER_SEC]
//
// Serves mdcmd, mdstat and the array devices' files at DIR (see fs.h), keeps the
// superblock in PATH (see superblock.h) and makes the array block devices in DEVDIR
// (see loopdev.h), whose members are DEVDIR/<name> as the imports name them. --speed
// limits a parity sync to that many KiB per second (the command "set md_sync_speed"
// changes it later); by default a sync runs as fast as the members allow.
//
// Without --foreground it goes to the background once the mount is in place, so whoever
// started it can use the files as soon as it returns. SIGTERM, SIGINT and SIGHUP stop a
// started array (however busy) and end it; an unmount of DIR ends it too.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "array.h"
#include "command.h"
#include "fs.h"
#include "log.h"
#include "loopdev.h"
#include "sync.h"

using namespace mdsim;

namespace {

struct Options {
  std::string super, mount, dev, pidfile;
  bool foreground = false;
  uint64_t speed = 0;
};

int usage() {
  fprintf(stderr, "usage: mdsim --super PATH --mount DIR --dev DEVDIR [--foreground] "
                  "[--pidfile FILE] [--speed KIB_PER_SEC]\n");
  return 2;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return !out.empty();
    };
    std::string speed;
    if (arg == "--super") { if (!value(o.super)) return false; }
    else if (arg == "--mount") { if (!value(o.mount)) return false; }
    else if (arg == "--dev") { if (!value(o.dev)) return false; }
    else if (arg == "--pidfile") { if (!value(o.pidfile)) return false; }
    else if (arg == "--foreground") o.foreground = true;
    else if (arg == "--speed") {
      char* end = nullptr;
      if (!value(speed)) return false;
      o.speed = strtoull(speed.c_str(), &end, 10);
      if (*end) return false;
    } else return false;
  }
  return !o.super.empty() && !o.mount.empty() && !o.dev.empty();
}

// Forks; the parent stays until the child says it is ready, and exits with its verdict.
int ready_pipe[2] = {-1, -1};

void go_background() {
  if (pipe(ready_pipe) != 0) exit(1);
  pid_t pid = fork();
  if (pid < 0) exit(1);
  if (pid > 0) {
    close(ready_pipe[1]);
    char c = 0;
    ssize_t n = read(ready_pipe[0], &c, 1);
    _exit(n == 1 && c == 'y' ? 0 : 1);
  }
  close(ready_pipe[0]);
  setsid();
  // Keep no directory of whoever started us busy.
  if (chdir("/") != 0) {}
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

void tell_ready(bool ok) {
  if (ready_pipe[1] < 0) return;
  char c = ok ? 'y' : 'n';
  if (write(ready_pipe[1], &c, 1) != 1) {}
  close(ready_pipe[1]);
  ready_pipe[1] = -1;
}

void detach_stdio() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  dup2(fd, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  if (fd > 2) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) return usage();
  for (std::string* p : {&o.super, &o.mount, &o.dev, &o.pidfile}) *p = absolute(*p);
  log_open(o.foreground);
  Array& a = array();
  a.sb_path = o.super;
  a.mount_dir = o.mount;
  a.dev_dir = o.dev;
  a.tuning.sync_speed_kib = o.speed;
  std::string why;
  if (superblock_load(o.super, a.sb, why) < 0) {
    // An unreadable superblock stays as it is until a start records a new array.
    logf(LOG_ERR, "md: superblock %s unusable (%s), treating the array as new", o.super.c_str(),
         why.c_str());
    a.sb = Superblock();
  } else if (a.sb.state == 1) {
    logf(LOG_WARNING, "md: superblock %s: the array was not stopped cleanly", o.super.c_str());
  }
  mkdir(o.mount.c_str(), 0755);

  if (!o.foreground) go_background();
  // Signals go to one thread of ours, not to whichever FUSE thread they hit.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string fsopts = "fsname=mdsim,subtype=mdsim";
  char* fargv[] = {argv[0], const_cast<char*>("-o"), fsopts.data(), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fargv);
  fuse_operations ops = fs_operations();
  fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!f || fuse_mount(f, o.mount.c_str()) != 0) {
    logf(LOG_ERR, "md: cannot mount %s", o.mount.c_str());
    tell_ready(false);
    return 1;
  }
  if (!o.pidfile.empty()) {
    FILE* pf = fopen(o.pidfile.c_str(), "we");
    if (pf) {
      fprintf(pf, "%d\n", getpid());
      fclose(pf);
    }
  }
  logf(LOG_INFO, "md: mdsim %s: %s at %s, devices in %s", "1.0.0", o.super.c_str(),
       o.mount.c_str(), o.dev.c_str());
  if (!o.foreground) detach_stdio();
  tell_ready(true);

  // The stop must happen while the FUSE threads still serve: closing a loop device
  // flushes it through our own files.
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    logf(LOG_INFO, "md: signal %d: shutting down", sig);
    force_stop();
    fuse_exit(f);
    struct stat st;
    stat((o.mount + "/mdstat").c_str(), &st);  // wakes a FUSE thread to see the exit
  });
  waiter.detach();

  fuse_loop_config* cfg = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(cfg, 64);
  int r = fuse_loop_mt(f, cfg);
  fuse_loop_cfg_destroy(cfg);

  bool started;
  {
    std::lock_guard lock(a.io);
    started = a.started;
    // Every change was written when it was made; only a failed write is tried again.
    // Writing it regardless would undo a new configuration, which sets the file aside
    // and then unloads the driver.
    if (a.sb_dirty) save_superblock();
  }
  fuse_unmount(f);
  fuse_destroy(f);
  sync_cancel();  // a sync that still runs, or one that ended and waits to be joined
  if (started) {
    // Unmounted under a started array: the connection is gone, so closing the loops
    // cannot wait on it. The superblock keeps the array marked as not stopped cleanly.
    for (auto& dev : a.devices) loop_detach(dev);
    logf(LOG_WARNING, "md: unmounted while started");
  }
  if (!o.pidfile.empty()) unlink(o.pidfile.c_str());
  logf(LOG_INFO, "md: exit");
  return r < 0 ? 1 : 0;
}
