// Captures every line the daemon's code logs, with its priority, for the duration of a
// test. Tests run one process each, so the sink is never shared between tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "util/log.h"

struct logged_line {
  int priority;
  std::string text;
  bool operator==(const logged_line &) const = default;
};

class log_capture {
 public:
  log_capture() {
    lines().clear();
    set_log_sink(&log_capture::sink);
  }
  ~log_capture() { set_log_sink(nullptr); }
  log_capture(const log_capture &) = delete;
  log_capture &operator=(const log_capture &) = delete;

  const std::vector<logged_line> &all() const { return lines(); }
  void clear() { lines().clear(); }
  // The texts of the lines logged at `priority`.
  std::vector<std::string> at(int priority) const {
    std::vector<std::string> out;
    for (const auto &l : lines())
      if (l.priority == priority) out.push_back(l.text);
    return out;
  }

 private:
  static std::vector<logged_line> &lines() {
    static std::vector<logged_line> v;
    return v;
  }
  static void sink(int priority, const char *line) { lines().push_back({priority, line}); }
};
