// The request socket and the accept loop.
#pragma once

inline constexpr char request_socket_path[] = "/var/run/orvand.socket";

// Creates the listening Unix stream socket at `path` (an old file there is replaced),
// mode 0666, backlog 10. Returns it, or -1 after the error line.
int open_request_socket(const char *path);

// Accepts one connection and serves its request; the connection is closed afterwards
// unless a command took it over. An accept failure is logged and waits a second.
void serve_connection(int listen_fd);

[[noreturn]] void accept_loop(int listen_fd);
