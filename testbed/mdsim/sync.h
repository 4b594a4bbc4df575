// The background parity sync: a rebuild ("recon") of the slots whose contents are invalid,
// or a check of the parities, correcting or only counting. One at a time.
#pragma once

#include <string_view>

namespace mdsim {

// option: "", "correct", "nocorrect" or "resume"; cmd held. 0 or -errno.
int sync_start(std::string_view option);
void sync_pause();
// Stops a running sync and waits for its thread; cmd held, io not.
void sync_cancel();

}  // namespace mdsim
