#include "array.h"
#include "fs.h"

namespace mdsim {

int fs_fsync(const char*, int, fuse_file_info* fi) {
  return handle(fi)->node == Node::device ? array_flush() : 0;
}

}  // namespace mdsim
