// Arbitrary bytes through the request front end: as a request read from a connection by
// handle_request, and as text handed straight to the field splitter (both separators),
// url_decode and exec_queries, once as sent and once with the daemon's token appended so
// that the action path runs as well.
//
// Limits: inputs over 16 KiB are skipped, so one write fills the socket pair without
// blocking, and the daemon's end is non-blocking so no response can stall a run. Nothing is
// written to the file system; the pages under page_dir are only opened for reading (on a
// build machine they are absent and the request answers 500). The variables a run stores are deleted
// after it, so memory does not grow across runs. Log lines are formatted (debug lines on
// every other input) and dropped.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/query.h"
#include "daemon/request.h"
#include "daemon/script.h"
#include "state/var.h"
#include "util/log.h"

namespace {

constexpr size_t max_input = 16384;

void drop_line(int, const char *) {}

// Stands in for a command: it writes progress into the connection and fails on request.
int fuzz_action(const char *name, const char *value) {
  std::string line(value, strnlen(value, 256));
  write_log(line.c_str());
  replace_name_query(name);
  return value[0] == 'x' ? -1 : 0;
}


void serve(const uint8_t *data, size_t size) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(sv[1], data + done, size - done, MSG_NOSIGNAL);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  shutdown(sv[1], SHUT_WR);
  // Reads never wait (the whole input and its end are queued already); a response larger
  // than the socket buffer, say a big page on a machine that has page_dir, fails instead
  // of blocking the run.
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  // as the accept loop does
  current_connection = sv[0];
  handle_request(sv[0]);
  int left = current_connection.exchange(-1);
  if (left != -1) close_connection(left);
  close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  set_log_sink(drop_line);
  signal(SIGPIPE, SIG_IGN);
  if (make_csrf_token() < 0) abort();
  register_action("fuzzAction", fuzz_action);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > max_input) return 0;
  init_debugging(size & 1 ? "all" : "");

  serve(data, size);

  const std::string raw(reinterpret_cast<const char *>(data), size);
  for (char sep : {'&', '#'}) {
    std::string text = raw;
    field f;
    const char *begin = text.data(), *end = begin + text.size();
    for (char *p = text.data(); (p = next_token(p, sep, &f));) {
      // name, value and the next position all stay inside the text
      if (f.name < begin || f.name > end || p < begin || p > end) abort();
      if (f.value && (f.value < begin || f.value > end)) abort();
    }
  }
  std::string decoded = raw;
  url_decode(decoded.data());

  std::string list = raw;
  exec_queries(list.data());
  std::string with_token = std::string(raw.c_str()) + "&csrf_token=" + csrf_token();
  exec_queries(with_token.data());

  clear_records(&var);
  return 0;
}
