#include <mutex>

#include "array.h"
#include "fs.h"

namespace mdsim {

int fs_release(const char*, fuse_file_info* fi) {
  Handle* h = handle(fi);
  if (h->node == Node::device) {
    Array& a = array();
    std::lock_guard lock(a.io);
    // A handle of an earlier start counts for nothing now.
    if (h->generation == a.generation && a.opens[h->slot] > 0) a.opens[h->slot]--;
  }
  delete h;
  return 0;
}

}  // namespace mdsim
