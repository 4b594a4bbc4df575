// The file system mdsim serves at its mount point, one operation per file (fs_*.cpp):
//
//   /mdcmd     write-only; each write is one command, refused ones fail with its errno
//   /mdstat    read-only; made at open, so each open sees the state of that moment
//   /md<N>p1   while started, the contents of data slot N's array device, read and
//              written through parity
//
// Every open file is direct I/O: a command reaches mdsim at the writer's write, a status
// is never served from a cache, and an array device's data has only one cache, the loop
// device's, above us.
#pragma once

#define FUSE_USE_VERSION 314
#include <fuse.h>

#include <cstdint>
#include <string>

namespace mdsim {

enum class Node { none, root, mdcmd, mdstat, device };

struct Path {
  Node node = Node::none;
  int slot = -1;  // for Node::device
};

Path parse_path(const char* path);

// What an open file is; its address is the FUSE file handle.
struct Handle {
  Node node = Node::none;
  int slot = -1;
  uint64_t generation = 0;
  std::string text;  // the status of the moment, for mdstat
};

inline Handle* handle(fuse_file_info* fi) { return reinterpret_cast<Handle*>(fi->fh); }

void* fs_init(fuse_conn_info* conn, fuse_config* cfg);
int fs_getattr(const char* path, struct stat* st, fuse_file_info* fi);
int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off, fuse_file_info* fi,
               fuse_readdir_flags flags);
int fs_open(const char* path, fuse_file_info* fi);
int fs_read(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi);
int fs_write(const char* path, const char* buf, size_t size, off_t off, fuse_file_info* fi);
int fs_truncate(const char* path, off_t size, fuse_file_info* fi);
int fs_release(const char* path, fuse_file_info* fi);
int fs_fsync(const char* path, int datasync, fuse_file_info* fi);
int fs_fallocate(const char* path, int mode, off_t off, off_t len, fuse_file_info* fi);

fuse_operations fs_operations();

}  // namespace mdsim
