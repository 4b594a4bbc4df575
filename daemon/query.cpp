// Field lists: splitting, URL decoding, and running a list under the state lock.
//
// Everything works in place on the caller's text: next_token NUL-terminates name and value
// inside it and URL decoding only ever shrinks a string, so splitting a list of any length
// costs no allocation. The only copies are the variables that put_var stores.
//
// The CSRF guard: an action runs only when the list carries csrf_token equal to the token
// made at start. A list without an action needs no token, but a wrong one still fails the
// list (-1); its fields are stored either way, since commands read them later as arguments.
#include "daemon/query.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "state/var.h"
#include "util/log.h"

std::atomic<int> current_connection{-1};

namespace {

char token[17];  // "%llX" of 64 bits: at most 16 digits

bool is_blank(char c) { return c == ' ' || c == '\t'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

}  // namespace

char *next_token(char *text, char sep, field *f) {
  char *p = text;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
  if (!*p) return nullptr;

  // The name. The write position never passes the read position, so the copy with
  // collapsed blanks can be made in place; the character that stopped the name is kept
  // in `stop` before its place may be overwritten by the terminator.
  char *name = p;
  char *w = p;
  bool gap = false;
  char stop;
  for (;;) {
    char c = *p;
    if (c == '\0' || c == sep || c == '=' || c == '\r' || c == '\n') {
      stop = c;
      break;
    }
    p++;
    if (is_blank(c)) {
      gap = true;
      continue;
    }
    if (gap) *w++ = ' ';
    gap = false;
    *w++ = c;
  }
  *w = '\0';
  f->name = name;
  f->value = nullptr;

  char *next;
  if (stop != '=') {
    next = stop ? p + 1 : p;
  } else {
    p++;
    while (is_blank(*p)) p++;
    char *value = p;
    w = p;
    gap = false;
    for (;;) {
      char c = *p;
      if (c == '\0' || c == sep || c == '\r' || c == '\n') {
        next = c ? p + 1 : p;
        break;
      }
      p++;
      if (is_blank(c)) {
        gap = true;
        continue;
      }
      if (gap) *w++ = ' ';
      gap = false;
      if (c == '"') {
        // A quoted run is taken verbatim and ends the value. Its closing character and the
        // one after it are consumed, but never the end of the text.
        while (*p && *p != '"' && *p != '\r' && *p != '\n') *w++ = *p++;
        if (*p) p++;
        if (*p) p++;
        next = p;
        break;
      }
      *w++ = c;
    }
    *w = '\0';
    f->value = value;
  }

  // Decoding after splitting makes an encoded '&', '=' or quote plain data.
  if (sep == '&') {
    url_decode(f->name);
    if (f->value) url_decode(f->value);
  }
  return next;
}

void url_decode(char *s) {
  char *w = s;
  for (const char *r = s; *r;) {
    if (*r == '+') {
      *w++ = ' ';
      r++;
    } else if (*r == '%' && isxdigit(static_cast<unsigned char>(r[1])) &&
               isxdigit(static_cast<unsigned char>(r[2]))) {
      *w++ = static_cast<char>(hex_value(r[1]) * 16 + hex_value(r[2]));
      r += 3;
    } else {
      *w++ = *r++;
    }
  }
  *w = '\0';
}

int exec_queries(char *list) {
  static int req_count;  // numbers only the lists that were logged
  if (debug_enabled(__func__)) log_debug(__func__, "req (%d): %s", ++req_count, list);

  int rc = pthread_mutex_lock(&state_lock);
  bool locked = rc == 0;
  if (!locked) {
    errno = rc;
    ERR("pthread_mutex_lock");
  }

  action_handler action = nullptr;
  const char *action_name = nullptr;
  const char *action_value = nullptr;
  field f;
  for (char *p = list; (p = next_token(p, '&', &f));) {
    if (!*f.name || !f.value) continue;
    // A record key ends at its first '='; such a name would silently set another variable.
    if (strchr(f.name, '=')) {
      INFO("exec_queries: invalid field name: %s", f.name);
      continue;
    }
    if (action_handler h = find_action(f.name)) {
      if (!action) {
        action = h;
        action_name = f.name;
        action_value = f.value;
        DBG("submit: \"%s\" arg: \"%s\"", f.name, f.value);
      } else {
        DBG("ignoring submit: %s", f.name);
      }
      continue;
    }
    put_var("%s=%s", f.name, f.value);
    DBG("put_var name: \"%s\" value: \"%s\"", f.name, f.value);
  }

  int result = 0;
  const char *t = get_var("csrf_token");
  bool had_token = t != nullptr;
  // An unset daemon token matches nothing, not even an empty field.
  bool token_ok = t && token[0] && strcmp(t, token) == 0;
  if (action && !t) {
    INFO("error: %s: missing csrf_token", action_name);
    action = nullptr;
    result = -1;
  } else if (t && !token_ok) {
    if (action)
      INFO("error: %s: wrong csrf_token", action_name);
    else
      INFO("error: wrong csrf_token");
    action = nullptr;
    result = -1;
  }

  if (action) result = action(action_name, action_value);
  if (had_token) put_var("csrf_token");

  if (locked) {
    rc = pthread_mutex_unlock(&state_lock);
    if (rc != 0) {
      errno = rc;
      ERR("pthread_mutex_unlock");
    }
  }
  return result;
}

int make_csrf_token() {
  unsigned long long v = 0;
  long n;
  do {
    n = syscall(SYS_getrandom, &v, sizeof v, 0);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<long>(sizeof v)) return -1;
  snprintf(token, sizeof token, "%llX", v);
  return 0;
}

const char *csrf_token() { return token; }
