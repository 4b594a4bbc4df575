#include <algorithm>
#include <cerrno>
#include <cstring>

#include "array.h"
#include "fs.h"

namespace mdsim {

int fs_read(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
  Handle* h = handle(fi);
  if (off < 0) return -EINVAL;
  if (h->node == Node::mdstat) {
    if (static_cast<size_t>(off) >= h->text.size()) return 0;
    size_t n = std::min(size, h->text.size() - static_cast<size_t>(off));
    memcpy(buf, h->text.data() + off, n);
    return static_cast<int>(n);
  }
  if (h->node != Node::device) return -EBADF;
  return static_cast<int>(array_read(h->slot, h->generation, static_cast<uint64_t>(off),
                                     reinterpret_cast<uint8_t*>(buf), size));
}

}  // namespace mdsim
