#include "member.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mdsim {

int member_open(const std::string& path, uint64_t offset, uint64_t size, Member& m) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  uint64_t total = 0;
  bool blk = S_ISBLK(st.st_mode);
  if (blk) {
    if (ioctl(fd, BLKGETSIZE64, &total) != 0) {
      int e = errno;
      close(fd);
      return -e;
    }
  } else if (S_ISREG(st.st_mode)) {
    total = static_cast<uint64_t>(st.st_size);
  } else {
    close(fd);
    return -ENODEV;
  }
  if (offset > total || size > total - offset) {
    close(fd);
    return -ENOSPC;
  }
  bool direct = false;
  if (blk) {
    int lbs = 512;
    ioctl(fd, BLKSSZGET, &lbs);
    if (lbs > 0 && offset % lbs == 0 && size % lbs == 0 && lbs <= 4096) {
      int dfd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT);
      if (dfd >= 0) {
        close(fd);
        fd = dfd;
        direct = true;
      }
    }
  }
  member_close(m);
  m.fd = fd;
  m.direct = direct;
  m.offset = offset;
  m.size = size;
  m.rdev = blk ? st.st_rdev : 0;
  m.name = path.substr(path.find_last_of('/') + 1);
  m.reads = m.writes = m.errors = 0;
  return 0;
}

void member_close(Member& m) {
  if (m.fd >= 0) close(m.fd);
  m.fd = -1;
}

int member_read(Member& m, uint64_t off, uint8_t* buf, size_t len) {
  size_t in = 0;
  if (off < m.size) in = static_cast<size_t>(std::min<uint64_t>(len, m.size - off));
  size_t done = 0;
  while (done < in) {
    ssize_t r = pread(m.fd, buf + done, in - done, static_cast<off_t>(m.offset + off + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      m.errors++;
      return r < 0 ? -errno : -EIO;
    }
    done += static_cast<size_t>(r);
  }
  if (in) m.reads++;
  memset(buf + in, 0, len - in);
  return 0;
}

int member_write(Member& m, uint64_t off, const uint8_t* buf, size_t len) {
  size_t in = 0;
  if (off < m.size) in = static_cast<size_t>(std::min<uint64_t>(len, m.size - off));
  size_t done = 0;
  while (done < in) {
    ssize_t w = pwrite(m.fd, buf + done, in - done, static_cast<off_t>(m.offset + off + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      m.errors++;
      return w < 0 ? -errno : -EIO;
    }
    done += static_cast<size_t>(w);
  }
  if (in) m.writes++;
  return 0;
}

int member_sync(Member& m) {
  if (m.fd >= 0 && fdatasync(m.fd) != 0) return -errno;
  return 0;
}

void member_counters(const Member& m, uint64_t& reads, uint64_t& writes) {
  reads = m.reads;
  writes = m.writes;
  if (!m.rdev) return;
  char path[320];
  snprintf(path, sizeof path, "/sys/block/%s/dev", m.name.c_str());
  FILE* f = fopen(path, "re");
  if (!f) return;
  unsigned maj = 0, min = 0;
  bool same = fscanf(f, "%u:%u", &maj, &min) == 2 && makedev(maj, min) == m.rdev;
  fclose(f);
  if (!same) return;
  snprintf(path, sizeof path, "/sys/block/%s/stat", m.name.c_str());
  f = fopen(path, "re");
  if (!f) return;
  unsigned long long r[5];
  if (fscanf(f, "%llu %llu %llu %llu %llu", &r[0], &r[1], &r[2], &r[3], &r[4]) == 5) {
    reads = r[0];
    writes = r[4];
  }
  fclose(f);
}

}  // namespace mdsim
