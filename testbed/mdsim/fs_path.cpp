#include <cstring>

#include "fs.h"
#include "superblock.h"

namespace mdsim {

Path parse_path(const char* path) {
  if (strcmp(path, "/") == 0) return {Node::root};
  if (strcmp(path, "/mdcmd") == 0) return {Node::mdcmd};
  if (strcmp(path, "/mdstat") == 0) return {Node::mdstat};
  // /md<N>p1, N a data slot without leading zeros
  int n = 0;
  const char* p = path;
  if (strncmp(p, "/md", 3) != 0) return {};
  p += 3;
  if (*p < '1' || *p > '9') return {};
  while (*p >= '0' && *p <= '9' && n < 100) n = n * 10 + (*p++ - '0');
  if (strcmp(p, "p1") != 0 || n < 1 || n >= kQ) return {};
  return {Node::device, n};
}

fuse_operations fs_operations() {
  fuse_operations ops{};
  ops.init = fs_init;
  ops.getattr = fs_getattr;
  ops.readdir = fs_readdir;
  ops.open = fs_open;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.truncate = fs_truncate;
  ops.release = fs_release;
  ops.fsync = fs_fsync;
  ops.fallocate = fs_fallocate;
  return ops;
}

}  // namespace mdsim
