// A connected pair of Unix stream sockets standing in for a client connection, and a way
// to run one request through the front end the way the accept loop does.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "daemon/query.h"
#include "daemon/request.h"

struct socket_pair {
  int server = -1;  // the daemon's end
  int client = -1;
  socket_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      server = fds[0];
      client = fds[1];
    }
  }
  ~socket_pair() {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
  socket_pair(const socket_pair &) = delete;
  socket_pair &operator=(const socket_pair &) = delete;

  // Everything the other end sends until it closes or shuts down its writing side.
  static std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
    }
  }
};

// Sends `request` from a client (then ends the client's output), serves it with
// handle_request and close_connection as the accept loop does, and returns the bytes the
// client received. The client writes from its own thread, so requests larger than the
// socket buffer work.
inline std::string serve_request(const std::string &request, int *result = nullptr) {
  socket_pair sp;
  std::thread writer([&] {
    size_t done = 0;
    while (done < request.size()) {
      ssize_t n = send(sp.client, request.data() + done, request.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    shutdown(sp.client, SHUT_WR);
  });
  current_connection = sp.server;
  int r = handle_request(sp.server);
  if (result) *result = r;
  current_connection = -1;
  close_connection(sp.server);
  sp.server = -1;
  writer.join();
  return socket_pair::read_all(sp.client);
}
