// Publication and events. See publish.h.
//
// The publisher never takes the state lock: it only reads state files, and update_ini
// replaces them by rename, so whatever it opens is one complete version.
#include "state/publish.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state/ini.h"
#include "state/var.h"
#include "util/log.h"
#include "util/stream.h"

namespace {

constexpr size_t inotify_buffer = 0x44000;
constexpr size_t response_buffer = 4096;

int connect_nginx() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ERR_AS("publish", "socket");
    return -1;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, nginx_socket, sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    // the web server may not run yet; the next change heals it
    DBG_AS("publish", "connect");
    close(fd);
    return -2;
  }
  return fd;
}

// Reads and drops the response; it carries nothing the daemon acts on.
void drain_response(int fd) {
  char buf[response_buffer];
  size_t got = 0;
  while (got < sizeof buf - 1) {
    ssize_t n = read(fd, buf + got, sizeof buf - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ERR_AS("publish", "read");
      return;
    }
    if (n == 0) return;
    got += static_cast<size_t>(n);
  }
  ERR_AS("publish", "response too damn long");
}

// Transfers until len bytes are out, a transfer returns 0, or one fails (logged "write" on
// behalf of func); the last transfer's result.
template <typename Transfer>
ssize_t send_all(const char *func, size_t len, Transfer transfer) {
  ssize_t n = 0;
  for (size_t done = 0; done < len; done += static_cast<size_t>(n)) {
    n = transfer(done);
    if (n < 0 && errno == EINTR) {
      n = 0;
      continue;
    }
    if (n < 0) ERR_AS(func, "write");
    if (n <= 0) return n;
  }
  return n;
}

}  // namespace

ssize_t do_send(int fd, const char *buf, size_t len) {
  return send_all(__func__, len, [&](size_t done) { return write(fd, buf + done, len - done); });
}

ssize_t do_sendfile(int fd, int file, size_t len) {
  // sendfile advances the file's own offset: each call goes on where the last one stopped
  return send_all(__func__, len, [&](size_t done) { return sendfile(fd, file, nullptr, len - done); });
}

int publish(const char *dir, const char *name) {
  std::string path = std::string(dir) + "/" + name;
  DBG("%s", path.c_str());
  int sock = connect_nginx();
  if (sock < 0) return -1;

  int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    ERR("open");
    close(sock);
    return -1;
  }
  struct stat st;
  if (fstat(file, &st) < 0) {
    ERR("stat");
    close(file);
    close(sock);
    return -1;
  }
  std::string channel = name;
  if (size_t dot = channel.rfind('.'); dot != std::string::npos) channel.resize(dot);

  char *header = nullptr;
  int rc = -1;
  if (asprintf(&header,
               "POST /pub/%s?buffer_length=1 HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n"
               "Content-Length: %lu\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Connection: close\r\n\r\n",
               channel.c_str(), static_cast<unsigned long>(st.st_size)) < 0) {
    ERR("asprintf");
  } else if (do_send(sock, header, strlen(header)) <= 0) {
    ERR("send header");
  } else if (st.st_size > 0 && do_sendfile(sock, file, static_cast<size_t>(st.st_size)) <= 0) {
    ERR("send data");
  } else {
    rc = 0;
  }
  free(header);
  close(file);
  if (rc == 0) drain_response(sock);
  close(sock);
  return rc;
}

void publish_all(const char *dir) {
  DIR *d = opendir(dir);
  if (!d) {
    ERR_AS("signal_nginx", "opendir: %s %m", dir);
    return;
  }
  while (struct dirent *e = readdir(d)) {
    size_t n = strlen(e->d_name);
    if (n > 4 && strcmp(e->d_name + n - 4, ".ini") == 0) publish(dir, e->d_name);
  }
  closedir(d);
}

void *pinotify_publish(void *) {
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0) {
    ERR("inotify_init: %s", state_dir);
    return nullptr;
  }
  int wd = inotify_add_watch(fd, state_dir, IN_MOVED_TO);
  if (wd < 0) {
    ERR("inotify_add_watch: %s", state_dir);
    close(fd);
    return nullptr;
  }
  // aligned for the event records read into it
  auto *buf = static_cast<char *>(aligned_alloc(alignof(inotify_event), inotify_buffer));
  for (;;) {
    ssize_t n = buf ? read(fd, buf, inotify_buffer) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ERR("inotify read: %s", state_dir);
      break;
    }
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
      if (ev->len > 0) publish(state_dir, ev->name);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  free(buf);
  inotify_rm_watch(fd, wd);
  close(fd);
  return nullptr;
}

int post_event(const char *name) {
  DBG("%s", name);
  if (int rc = pthread_mutex_unlock(&state_lock); rc != 0) {
    errno = rc;
    ERR("pthread_mutex_unlock");
  }
  stream *s = stream_open("exec %s %s", event_hook, name);
  while (s && stream_getline(s) >= 0) {
    // each line takes the lock only for its own update, so requests go on meanwhile
    pthread_mutex_lock(&state_lock);
    set_progress(s->line);
    pthread_mutex_unlock(&state_lock);
  }
  stream_close(s);
  if (int rc = pthread_mutex_lock(&state_lock); rc != 0) {
    errno = rc;
    ERR("pthread_mutex_lock");
  }
  return 0;
}
