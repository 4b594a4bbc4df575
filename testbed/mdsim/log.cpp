#include "log.h"

#include <cstdarg>

namespace mdsim {

void log_open(bool to_stderr) {
  openlog("mdsim", LOG_PID | LOG_NDELAY | (to_stderr ? LOG_PERROR : 0), LOG_KERN);
}

void logf(int priority, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsyslog(priority, fmt, ap);
  va_end(ap);
}

}  // namespace mdsim
