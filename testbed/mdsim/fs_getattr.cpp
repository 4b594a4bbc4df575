#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

#include "array.h"
#include "fs.h"

namespace mdsim {

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
  memset(st, 0, sizeof *st);
  Path p = parse_path(path);
  st->st_nlink = 1;
  switch (p.node) {
    case Node::root:
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return 0;
    case Node::mdcmd:
      st->st_mode = S_IFREG | 0200;
      return 0;
    case Node::mdstat:
      st->st_mode = S_IFREG | 0444;
      return 0;
    case Node::device: {
      Array& a = array();
      std::lock_guard lock(a.io);
      if (!serves_device(p.slot)) return -ENOENT;
      st->st_mode = S_IFREG | 0600;
      st->st_size = static_cast<off_t>(a.run[p.slot].size);
      st->st_blksize = 4096;
      st->st_blocks = st->st_size / 512;
      return 0;
    }
    case Node::none:
      break;
  }
  return -ENOENT;
}

}  // namespace mdsim
