#include <cerrno>
#include <string_view>

#include "array.h"
#include "command.h"
#include "fs.h"

namespace mdsim {

int fs_write(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
  Handle* h = handle(fi);
  if (off < 0) return -EINVAL;
  if (h->node == Node::mdcmd) {
    // One write is one command, wherever the writer's file offset stands.
    int r = run_command(std::string_view(buf, size));
    return r < 0 ? r : static_cast<int>(size);
  }
  if (h->node != Node::device) return -EBADF;
  return static_cast<int>(array_write(h->slot, h->generation, static_cast<uint64_t>(off),
                                      reinterpret_cast<const uint8_t*>(buf), size));
}

}  // namespace mdsim
