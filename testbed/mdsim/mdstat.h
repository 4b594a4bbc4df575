// The status file: one key=value line per key, made afresh at each open.
#pragma once

#include <string>

namespace mdsim {

constexpr const char* kVersion = "1.0.0";

std::string mdstat_text();

}  // namespace mdsim
