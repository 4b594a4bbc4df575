#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "array.h"
#include "fs.h"

namespace mdsim {

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
  if (parse_path(path).node != Node::root) return -ENOTDIR;
  std::vector<std::string> names = {".", "..", "mdcmd", "mdstat"};
  {
    Array& a = array();
    std::lock_guard lock(a.io);
    for (int s = 1; s < kQ; s++)
      if (serves_device(s)) names.push_back("md" + std::to_string(s) + "p1");
  }
  for (const auto& n : names) fill(buf, n.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

}  // namespace mdsim
