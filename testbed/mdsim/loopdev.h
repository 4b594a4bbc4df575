// The block devices of a started array: a loop device over each data slot's FUSE file,
// set to clear itself on its last close and held open by mdsim, and a node in the device
// directory (md1p1, ...) with the loop device's numbers, so the array device is a real
// block device that mkfs and mount take.
//
// A world's /dev has neither /dev/loop-control nor loop nodes: mdsim makes what it needs
// as short-lived nodes in the device directory, opens them and removes them at once.
#pragma once

#include <string>

#include "array.h"

namespace mdsim {

// 0 or -errno; dev gets the loop's descriptor, numbers and node.
int loop_attach(const std::string& file, const std::string& node, const std::string& dev_dir,
                ArrayDevice& dev);
// Writes back what the loop device caches, through mdsim's own files; io not held.
int loop_flush(const ArrayDevice& dev);
void loop_detach(ArrayDevice& dev);
// Whether something holds the device exclusively: a mount, mkfs, a mapping.
bool loop_claimed(const ArrayDevice& dev, const std::string& dev_dir);

}  // namespace mdsim
