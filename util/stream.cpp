// Line streams. See stream.h.
#include "util/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "util/log.h"
#include "util/shell.h"

namespace {

// Opens the stream for the text already formatted into s->line.
bool open_text(stream *s) {
  if (strncmp(s->line, "exec ", 5) != 0) {
    s->file = fopen(s->line, "re");
    return s->file != nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) return false;
  s->pid = spawn_shell(s->line, fds[1]);
  close(fds[1]);
  if (s->pid < 0) {
    close(fds[0]);
    return false;
  }
  s->file = fdopen(fds[0], "r");
  if (!s->file) {
    close(fds[0]);
    wait_child(s->pid);
    return false;
  }
  return true;
}

__attribute__((format(printf, 2, 0))) stream *open_v(bool to_log, const char *fmt, va_list ap) {
  auto *s = new stream();
  int n = vasprintf(&s->line, fmt, ap);
  if (n < 0) {
    delete s;
    return nullptr;
  }
  s->size = static_cast<size_t>(n) + 1;
  if (to_log) {
    const char *shown = strncmp(s->line, "exec ", 5) == 0 ? s->line + 5 : s->line;
    INFO("%s", shown);
  } else {
    DBG_AS("stream_open", "%s", s->line);
  }
  if (!open_text(s)) {
    int saved = errno;
    free(s->line);
    delete s;
    errno = saved;
    return nullptr;
  }
  return s;
}

size_t trim_end(char *text, size_t len) {
  while (len > 0 && isspace(static_cast<unsigned char>(text[len - 1]))) len--;
  text[len] = '\0';
  return len;
}

}  // namespace

stream *stream_open(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  stream *s = open_v(false, fmt, ap);
  va_end(ap);
  return s;
}

stream *stream_open_log(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  stream *s = open_v(true, fmt, ap);
  va_end(ap);
  return s;
}

ssize_t getline_trim(char **buffer, size_t *size, FILE *f) {
  ssize_t n = getline(buffer, size, f);
  if (n < 0) return -1;
  return static_cast<ssize_t>(trim_end(*buffer, static_cast<size_t>(n)));
}

ssize_t stream_getline(stream *s) {
  if (!s) {
    errno = EINVAL;
    return -1;
  }
  return getline_trim(&s->line, &s->size, s->file);
}

ssize_t stream_getline_log(stream *s) {
  ssize_t n;
  while ((n = stream_getline(s)) == 0) {
  }
  if (n > 0) INFO("%s", s->line);
  return n;
}

int stream_close(stream *s) {
  if (!s) {
    errno = EINVAL;
    return -1;
  }
  // Drain first, so a command is never cut off by a pipe closed under it.
  char buf[4096];
  while (fread(buf, 1, sizeof buf, s->file) > 0) {
  }
  fclose(s->file);
  int rc = 0;
  if (s->pid > 0) {
    int status = wait_child(s->pid);
    rc = status < 0 ? -1 : (status >> 8) & 255;
  }
  free(s->line);
  delete s;
  return rc;
}
