// The accept loop: one connection at a time, one request per connection, all on the main
// thread. A long command therefore delays every later request; that is the design, since
// a command runs under the state lock anyway.
//
// The socket's and the loop's error lines belong to main, which runs both.
#include "daemon/listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "daemon/query.h"
#include "daemon/request.h"
#include "util/log.h"

int open_request_socket(const char *path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ERR_AS("main", "socket");
    return -1;
  }
  unlink(path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    ERR_AS("main", "bind");
    close(fd);
    return -1;
  }
  memcpy(addr.sun_path, path, len);
  // The family field and the path, without the terminator.
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), addr_len) < 0) {
    ERR_AS("main", "bind");
    close(fd);
    return -1;
  }
  if (chmod(path, 0666) < 0) {
    ERR_AS("main", "chmod");
    close(fd);
    return -1;
  }
  if (listen(fd, 10) < 0) {
    ERR_AS("main", "listen");
    close(fd);
    return -1;
  }
  return fd;
}

void serve_connection(int listen_fd) {
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    ERR_AS("main", "accept");
    sleep(1);
    return;
  }
  current_connection = fd;
  handle_request(fd);
  int left = current_connection.exchange(-1);
  if (left != -1) close_connection(left);
}

void accept_loop(int listen_fd) {
  for (;;) serve_connection(listen_fd);
}
