#include <cerrno>
#include <fcntl.h>
#include <mutex>

#include "array.h"
#include "fs.h"
#include "mdstat.h"

namespace mdsim {

int fs_open(const char* path, fuse_file_info* fi) {
  Path p = parse_path(path);
  int mode = fi->flags & O_ACCMODE;
  auto h = new Handle();
  h->node = p.node;
  switch (p.node) {
    case Node::mdcmd:
      if (mode != O_WRONLY) break;
      fi->fh = reinterpret_cast<uint64_t>(h);
      fi->direct_io = 1;
      return 0;
    case Node::mdstat:
      if (mode != O_RDONLY) break;
      h->text = mdstat_text();
      fi->fh = reinterpret_cast<uint64_t>(h);
      fi->direct_io = 1;
      return 0;
    case Node::device: {
      Array& a = array();
      std::lock_guard lock(a.io);
      if (!serves_device(p.slot)) {
        delete h;
        return -ENOENT;
      }
      h->slot = p.slot;
      h->generation = a.generation;
      a.opens[p.slot]++;
      fi->fh = reinterpret_cast<uint64_t>(h);
      fi->direct_io = 1;
      return 0;
    }
    case Node::root:
      delete h;
      return -EISDIR;
    case Node::none:
      delete h;
      return -ENOENT;
  }
  delete h;
  return -EACCES;
}

}  // namespace mdsim
