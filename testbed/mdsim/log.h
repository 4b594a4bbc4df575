// mdsim's log: the system log under the name "mdsim", and stderr in the foreground.
#pragma once

#include <syslog.h>

namespace mdsim {

void log_open(bool to_stderr);
void logf(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace mdsim
