// orvand: the storage-management daemon. It takes no options: its behaviour follows the
// settings files and the requests it is sent over its socket.
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "daemon/init.h"
#include "daemon/listener.h"
#include "util/log.h"

int main(int argc, char **argv) {
  int opt = getopt(argc, argv, "d:");
  if (opt != -1) {
    ERR("invalid option: %c", opt);
    exit(1);
  }
  // A browser that went away must make a write fail, not end the daemon.
  signal(SIGPIPE, SIG_IGN);

  int listen_fd = open_request_socket(request_socket_path);
  if (listen_fd < 0) exit(1);
  init_dyncntnt();
  accept_loop(listen_fd);
}
