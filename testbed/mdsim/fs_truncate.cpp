#include <cerrno>
#include <mutex>

#include "array.h"
#include "fs.h"

namespace mdsim {

// Shell redirections open mdcmd with O_TRUNC, which is harmless; an array device keeps
// its size, as a block device does.
int fs_truncate(const char* path, off_t size, fuse_file_info*) {
  Path p = parse_path(path);
  if (p.node == Node::mdcmd) return 0;
  if (p.node == Node::device) {
    Array& a = array();
    std::lock_guard lock(a.io);
    if (!serves_device(p.slot)) return -ENOENT;
    return static_cast<uint64_t>(size) == a.run[p.slot].size ? 0 : -EPERM;
  }
  return p.node == Node::none ? -ENOENT : -EPERM;
}

}  // namespace mdsim
