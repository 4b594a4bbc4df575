// Logging and debug selection: the three line forms and the per-function debug selectors.
//
// Lines are formatted here, completely, and handed to one sink, so the exact text that
// reaches syslog is the text a test captures. errno is read once on entry (an error line
// reports the last failing call) and restored on exit, so logging never disturbs a caller
// that goes on to inspect errno.
//
// The selector list is an immutable snapshot behind a shared pointer. The debug command
// builds a new snapshot and swaps it in; a reader copies the pointer (under a small mutex
// held only for the copy) and keeps the old snapshot alive through its reference until it
// is done. A separate atomic count gives the common case, no selectors at all, a single
// load and comparison. (The pointer is not a std::atomic<std::shared_ptr>: libstdc++ 12
// releases that one's internal lock with relaxed order after a load, which is a data race
// by the memory model and which ThreadSanitizer reports.)
#include "util/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr int max_selectors = 99;

struct selector_list {
  std::string store;  // the value of the last debug command, split in place
  const char *names[max_selectors + 1] = {};
  int count = 0;
};

std::atomic<log_sink_fn> sink{nullptr};
std::mutex selectors_lock;
std::shared_ptr<const selector_list> selectors;  // guarded by selectors_lock
std::atomic<int> selector_count{0};

void emit(int priority, const char *line) {
  log_sink_fn s = sink.load(std::memory_order_acquire);
  if (s)
    s(priority, line);
  else
    syslog(priority, "%s", line);
}

// Appends the formatted message to `out`.
__attribute__((format(printf, 2, 0))) void append_v(std::string &out, const char *fmt,
                                                    va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, fmt, ap);
  out.resize(old + static_cast<size_t>(n));
}

__attribute__((format(printf, 2, 3))) void append(std::string &out, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  append_v(out, fmt, ap);
  va_end(ap);
}

}  // namespace

void set_log_sink(log_sink_fn s) { sink.store(s, std::memory_order_release); }

void log_info(const char *fmt, ...) {
  int saved = errno;
  std::string line;
  va_list ap;
  va_start(ap, fmt);
  errno = saved;  // for a %m in the message
  append_v(line, fmt, ap);
  va_end(ap);
  emit(LOG_INFO, line.c_str());
  errno = saved;
}

void log_error(const char *func, int line_no, const char *fmt, ...) {
  int saved = errno;
  char text[256];
  // strerror_r (GNU) returns the message, in `text` or in static storage
  const char *err = strerror_r(saved, text, sizeof text);
  std::string line;
  append(line, "error: %s, %d: %s (%d): ", func, line_no, err, saved);
  va_list ap;
  va_start(ap, fmt);
  errno = saved;
  append_v(line, fmt, ap);
  va_end(ap);
  emit(LOG_ERR, line.c_str());
  errno = saved;
}

void log_debug(const char *func, const char *fmt, ...) {
  int saved = errno;
  std::string line;
  append(line, "debug: %s: ", func);
  va_list ap;
  va_start(ap, fmt);
  errno = saved;
  append_v(line, fmt, ap);
  va_end(ap);
  emit(LOG_DEBUG, line.c_str());
  errno = saved;
}

int debug_enabled(const char *name) {
  if (selector_count.load(std::memory_order_acquire) == 0) return 0;
  if (!name) return 1;
  std::shared_ptr<const selector_list> list;
  {
    std::lock_guard<std::mutex> hold(selectors_lock);
    list = selectors;
  }
  if (!list) return 0;
  for (int i = 0; i < list->count; i++) {
    const char *s = list->names[i];
    if (strcmp(s, "all") == 0 || strcmp(s, name) == 0) return 1;
  }
  return 0;
}

int init_debugging(const char *value) {
  if (!value) value = "";
  log_info("init_debugging: %s", value);

  auto list = std::make_shared<selector_list>();
  list->store = value;
  char *save = nullptr;
  for (char *tok = strtok_r(list->store.data(), ", ", &save);
       tok && list->count < max_selectors; tok = strtok_r(nullptr, ", ", &save)) {
    list->names[list->count++] = tok;
  }
  list->names[list->count] = nullptr;

  int n = list->count;
  // Publish the list before the count that lets readers look at it; a reader that still
  // sees the old count reads the new list or the old one, both whole.
  std::shared_ptr<const selector_list> fresh = std::move(list);
  {
    std::lock_guard<std::mutex> hold(selectors_lock);
    selectors.swap(fresh);
  }
  selector_count.store(n, std::memory_order_release);
  // the old snapshot, now in `fresh`, goes here or with its last reader
  return 0;
}
