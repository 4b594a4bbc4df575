// Logging and debug selection.
//
// Every diagnostic of the daemon goes to the system log in one of three forms:
//   error lines   LOG_ERR    "error: <function>, <line>: <errno text> (<errno>): <message>"
//   debug lines   LOG_DEBUG  "debug: <function>: <message>", only when the function is selected
//   info lines    LOG_INFO   the message alone
// The macros below fill in the reporting function's name and line. Code that reports on
// behalf of another function names it explicitly with the *_AS forms.
//
// Debug output is selected per function name at run time by the `debug` command
// (init_debugging). The selector list is read on every thread without the state lock and
// replaced under it; readers always see a whole list, old or new, never a freed one.
#pragma once

#include <syslog.h>

// Where finished lines go. The default (nullptr) is syslog(3) with the program's default
// identity. Unit tests install their own sink to capture exact lines; the daemon never
// changes it.
using log_sink_fn = void (*)(int priority, const char *line);
void set_log_sink(log_sink_fn sink);

void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void log_debug(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// 1 when `name` is selected ("all" selects every name); with nullptr, 1 when any selector
// is set at all.
int debug_enabled(const char *name);

// The `debug` command: replaces the whole selector list with the names in `value`
// (separated by commas and spaces, at most 99 kept). An empty value clears it. Returns 0.
int init_debugging(const char *value);

#define INFO(...) log_info(__VA_ARGS__)
#define ERR(...) log_error(__func__, __LINE__, __VA_ARGS__)
#define ERR_AS(func, ...) log_error((func), __LINE__, __VA_ARGS__)
// A disabled debug line costs one call and one comparison; its arguments are not evaluated.
#define DBG(...)                                                                           \
  do {                                                                                     \
    if (debug_enabled(__func__)) log_debug(__func__, __VA_ARGS__);                         \
  } while (0)
#define DBG_AS(func, ...)                                                                  \
  do {                                                                                     \
    if (debug_enabled(func)) log_debug((func), __VA_ARGS__);                               \
  } while (0)
