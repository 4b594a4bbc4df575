// The HTTP front end: one request per connection, read with explicit limits.
//
// Lines are read one byte per read(2) so that nothing of a body is consumed with the
// headers; a line holds at most 8191 characters (line_capacity with its terminator) and a
// body must stay below 128 KiB, so a request costs at most two line buffers and one body.
// Only two headers matter: Content-Length (the last one counts) and Content-Type (the first
// one's first word). Three paths exist: "update" runs a posted field list, "update.htm"
// and "logging.htm" send a page from page_dir and then run the fields, so the script
// fragments a command writes follow the page in the same response. Everything else is 404.
//
// Every response closes the connection. Error responses carry their status text as a
// text/plain body and are logged as "orvand: <status line>".
#include "daemon/request.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "daemon/query.h"
#include "util/log.h"

namespace {

struct free_deleter {
  void operator()(char *p) const { free(p); }
};
using heap_chars = std::unique_ptr<char[], free_deleter>;

heap_chars alloc_chars(size_t n) { return heap_chars(static_cast<char *>(malloc(n))); }

struct unique_fd {
  int fd;
  explicit unique_fd(int f) : fd(f) {}
  ~unique_fd() {
    if (fd >= 0) close(fd);
  }
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
};

unsigned request_count;

// The next space-separated word of `rest`, which is advanced past it; empty at the end.
std::string_view next_word(std::string_view &rest) {
  size_t b = rest.find_first_not_of(' ');
  if (b == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(b);
  size_t e = rest.find(' ');
  if (e == std::string_view::npos) e = rest.size();
  std::string_view w = rest.substr(0, e);
  rest.remove_prefix(e);
  return w;
}

bool header_is(std::string_view word, std::string_view name) {
  if (word.size() != name.size()) return false;
  for (size_t i = 0; i < word.size(); i++)
    if (tolower(static_cast<unsigned char>(word[i])) !=
        tolower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

// atol's reading of a number (leading white space, a sign, digits up to the first other
// character), saturating instead of overflowing.
long long parse_length(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) i++;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && isdigit(static_cast<unsigned char>(s[i])); i++) {
    int d = s[i] - '0';
    if (v > (LLONG_MAX - d) / 10) {
      v = LLONG_MAX;
      break;
    }
    v = v * 10 + d;
  }
  return negative ? -v : v;
}

// Writes all of `len` bytes unless the peer fails; the result is what the last write said.
ssize_t write_all(int fd, const char *p, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

int read_line(int fd, char *buf, size_t capacity) {
  for (size_t i = 0; i < capacity; i++) {
    if (read(fd, buf + i, 1) != 1) {
      INFO("client closed the connection");
      return -1;
    }
    if (buf[i] != '\r') continue;
    // The byte after a CR lands in the CR's place: a LF there becomes the terminator.
    if (read(fd, buf + i, 1) != 1) {
      INFO("client closed the connection");
      return -1;
    }
    if (buf[i] != '\n') {
      ERR("CR without LF");
      return -1;
    }
    buf[i] = '\0';
    return static_cast<int>(i);
  }
  ERR("input line too long");
  send_status(fd, http_413);
  return -1;
}

int handle_request(int fd) {
  heap_chars inbuf = alloc_chars(line_capacity);
  if (!inbuf) {
    ERR("out of memory for inbuf");
    send_status(fd, http_500);
    return -1;
  }
  if (read_line(fd, inbuf.get(), line_capacity) < 0) return -1;
  request_count++;
  DBG("request %i: %s", static_cast<int>(request_count), inbuf.get());

  heap_chars extra = alloc_chars(line_capacity);
  if (!extra) {
    ERR("out of memory for extra");
    send_status(fd, http_500);
    return -1;
  }
  long long content_length = 0;
  heap_chars content_type;
  for (;;) {
    int len = read_line(fd, extra.get(), line_capacity);
    if (len < 0) return -1;
    if (len == 0) break;
    DBG("extra: %s", extra.get());
    std::string_view rest(extra.get(), static_cast<size_t>(len));
    std::string_view name = next_word(rest);
    if (name.empty()) {
      send_status(fd, http_400);
      return 0;
    }
    bool is_length = header_is(name, "Content-Length:");
    if (!is_length && !header_is(name, "Content-Type:")) continue;
    std::string_view value = next_word(rest);
    if (value.empty()) {
      send_status(fd, http_400);
      return 0;
    }
    if (is_length) {
      content_length = parse_length(value);
      // A negative length is no size: refuse it before anything trusts it.
      if (content_length < 0) {
        send_status(fd, http_400);
        return 0;
      }
    } else if (!content_type) {
      content_type.reset(strndup(value.data(), value.size()));
      if (!content_type) {
        ERR("out of memory for content_type");
        send_status(fd, http_500);
        return -1;
      }
    }
  }

  char *line = inbuf.get();
  if (strncmp(line, "GET ", 4) == 0) {
    request_target t = get_filename(line + 4);
    send_file(fd, t.path, t.query, nullptr);
    return 0;
  }
  if (strncmp(line, "POST ", 5) != 0) {
    send_status(fd, http_501);
    return 0;
  }

  request_target t = get_filename(line + 5);
  if (content_length >= max_body) {
    send_status(fd, http_413);
    return 0;
  }
  size_t size = static_cast<size_t>(content_length);
  heap_chars body = alloc_chars(size + 1);
  if (!body) {
    ERR("not enough memory to allocate postdata");
    return -1;
  }
  for (size_t got = 0; got < size;) {
    ssize_t n = read(fd, body.get() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ERR("postdata read");
      return -1;
    }
    if (n == 0) return -1;
    got += static_cast<size_t>(n);
  }
  body[size] = '\0';
  DBG("postdata %i: %s", static_cast<int>(size), body.get());

  // A substring test, so "application/x-www-form-urlencoded;charset=UTF-8" written
  // without a space passes as well.
  if (content_type && strstr(content_type.get(), "application/x-www-form-urlencoded"))
    send_file(fd, t.path, t.query, body.get());
  else
    send_status(fd, http_501);
  return 0;
}

request_target get_filename(char *text) {
  while (*text == ' ') text++;
  if (char *sp = strchr(text, ' ')) *sp = '\0';  // drops the protocol version
  while (*text == '/') text++;
  char *query;
  if (char *q = strchr(text, '?')) {
    *q = '\0';
    query = q + 1;
  } else {
    // The path's own terminator: decoding never writes past it, so it stays "".
    query = text + strlen(text);
  }
  url_decode(text);
  DBG("fname: %s querystring: %s", text, query);
  return {text, query};
}

void send_file(int fd, const char *path, char *query, char *body) {
  if (strcmp(path, "update") == 0) {
    if (!body || !*body) {
      send_status(fd, http_501);
    } else if (exec_queries(body) >= 0) {
      send_header(fd, http_200, 0);
    } else {
      send_status(fd, http_500);
    }
    return;
  }

  if (strcmp(path, "update.htm") != 0 && strcmp(path, "logging.htm") != 0) {
    DBG("notfound: %s", path);
    send_status(fd, http_404);
    return;
  }

  std::string file = std::string(page_dir) + "/" + path;
  unique_fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (in.fd < 0 || fstat(in.fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    send_status(fd, http_500);
    return;
  }
  send_header(fd, http_200, -1);
  off_t off = 0;
  while (off < st.st_size) {
    ssize_t n = sendfile(fd, in.fd, &off, static_cast<size_t>(st.st_size - off));
    if (n < 0 && errno == EINTR) continue;
    // 0 before the end: the file shrank under us; the page is incomplete either way.
    if (n <= 0) {
      ERR("sendfile: %s", file.c_str());
      return;
    }
  }
  if (query && *query) exec_queries(query);
  if (body && *body) exec_queries(body);
}

int send_header(int fd, const char *status, int length) {
  std::string h = status;
  h += "Server: orvan\r\n";
  h += "Connection: close\r\n";
  h += "Cache-Control: no-cache\r\n";
  h += strcmp(status, http_200) == 0 ? "Content-Type: text/html; charset=utf-8\r\n"
                                     : "Content-Type: text/plain\r\n";
  if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
  h += "X-Frame-Options: SAMEORIGIN\r\n";
  h += "\r\n";
  return static_cast<int>(write_all(fd, h.data(), h.size()));
}

void send_status(int fd, const char *status) {
  // The log line carries the status line without its CR LF, which has no place in a log.
  INFO("orvand: %.*s", static_cast<int>(strcspn(status, "\r")), status);
  const char *text = status + strlen("HTTP/1.1 ");
  size_t len = strcspn(text, "\r");
  send_header(fd, status, static_cast<int>(len));
  write_all(fd, text, len);
}

int close_connection(int fd) {
  shutdown(fd, SHUT_WR);
  char c;
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) DBG("close_connection: %s", strerror(errno));
    break;
  }
  close(fd);
  return 0;
}
