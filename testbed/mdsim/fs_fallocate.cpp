#include <cerrno>

#include "fs.h"

namespace mdsim {

// No discard on a parity array: a trimmed block would read back as anything, and parity
// would no longer match it.
int fs_fallocate(const char*, int, off_t, off_t, fuse_file_info*) { return -EOPNOTSUPP; }

}  // namespace mdsim
