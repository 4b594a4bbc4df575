#include "loopdev.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "log.h"

namespace mdsim {

static constexpr unsigned kLoopMajor = 7;
static constexpr unsigned kMiscMajor = 10, kLoopControlMinor = 237;

// Opens a device node by its numbers: the standard path when it is that device, else a
// node of our own in dev_dir, removed as soon as it is open.
static int open_node(const std::string& standard, mode_t type, dev_t rdev,
                     const std::string& dev_dir, int flags) {
  struct stat st;
  if (stat(standard.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_rdev == rdev)
    return open(standard.c_str(), flags | O_CLOEXEC);
  std::string tmp = dev_dir + "/.mdsim-" + std::to_string(getpid()) + "-" +
                    std::to_string(major(rdev)) + "-" + std::to_string(minor(rdev));
  unlink(tmp.c_str());
  if (mknod(tmp.c_str(), type | 0600, rdev) != 0) return -1;
  int fd = open(tmp.c_str(), flags | O_CLOEXEC);
  int e = errno;
  unlink(tmp.c_str());
  errno = e;
  return fd;
}

// Minors per loop device: the loop driver reserves 2^n for partitions with max_part.
static unsigned loop_part_shift() {
  for (const char* p : {"/sys/module/loop/parameters/max_part",
                        "/.world/sys/module/loop/parameters/max_part"}) {
    FILE* f = fopen(p, "re");
    if (!f) continue;
    int max_part = 0;
    int n = fscanf(f, "%d", &max_part);
    fclose(f);
    if (n != 1 || max_part <= 0) return 0;
    unsigned shift = 0;
    while ((1 << shift) <= max_part) shift++;
    return shift;
  }
  return 0;
}

int loop_attach(const std::string& file, const std::string& node, const std::string& dev_dir,
                ArrayDevice& dev) {
  int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (backing < 0) return -errno;
  int control = open_node("/dev/loop-control", S_IFCHR, makedev(kMiscMajor, kLoopControlMinor),
                          dev_dir, O_RDWR);
  if (control < 0) {
    int e = errno;
    close(backing);
    return -e;
  }
  unsigned shift = loop_part_shift();
  int result = -EBUSY;
  for (int tries = 0; tries < 100; tries++) {
    int n = ioctl(control, LOOP_CTL_GET_FREE);
    if (n < 0) {
      result = -errno;
      break;
    }
    dev_t rdev = makedev(kLoopMajor, static_cast<unsigned>(n) << shift);
    int fd = open_node("/dev/loop" + std::to_string(n), S_IFBLK, rdev, dev_dir, O_RDWR);
    if (fd < 0) {
      result = -errno;
      break;
    }
    loop_config config;
    memset(&config, 0, sizeof config);
    config.fd = static_cast<uint32_t>(backing);
    config.block_size = 512;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
             file.c_str());
    if (ioctl(fd, LOOP_CONFIGURE, &config) != 0) {
      int e = errno;
      close(fd);
      if (e == EBUSY) continue;  // taken by someone else between the two calls
      result = -e;
      break;
    }
    unlink(node.c_str());
    if (mknod(node.c_str(), S_IFBLK | 0660, rdev) != 0) {
      result = -errno;
      close(fd);
      break;
    }
    dev.loop_fd = fd;
    dev.rdev = rdev;
    dev.node = node;
    result = 0;
    break;
  }
  close(control);
  close(backing);
  return result;
}

int loop_flush(const ArrayDevice& dev) {
  return dev.loop_fd >= 0 && fsync(dev.loop_fd) != 0 ? -errno : 0;
}

void loop_detach(ArrayDevice& dev) {
  if (!dev.node.empty()) unlink(dev.node.c_str());
  if (dev.loop_fd >= 0) {
    // Autoclear: at this, its last close, the kernel writes back what the device still
    // caches and then lets go of the backing file. (An explicit LOOP_CLR_FD would come
    // before that write-back and lose it.)
    fsync(dev.loop_fd);
    close(dev.loop_fd);
  }
  dev = ArrayDevice();
}

bool loop_claimed(const ArrayDevice& dev, const std::string& dev_dir) {
  if (dev.loop_fd < 0) return false;
  int fd = open_node(dev.node, S_IFBLK, dev.rdev, dev_dir, O_RDONLY | O_EXCL);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return errno == EBUSY;
}

}  // namespace mdsim
