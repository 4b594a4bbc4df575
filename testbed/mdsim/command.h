// The md commands, one line each as written to mdcmd:
//
//   import N NAME FIRSTSECTOR SIZEKIB ERASED ID   member for slot N: <devdir>/NAME from
//                                                 sector FIRSTSECTOR, SIZEKIB KiB
//   import N                                      slot N has no device
//   start STATE                                   STATE must be the current mdState
//   stop                                          refused (EBUSY) while a device is in use
//   check [correct|nocorrect|resume]              sync: rebuild what is invalid, else check
//   nocheck [pause|cancel]                        pause or cancel the running sync
//   set md_num_stripes N | md_queue_limit N | md_sync_limit N
//   set md_write_method [0|1|auto]                read-modify-write (0, auto) or
//                                                 reconstruct-write (1)
//   set invalidslot A B                           a new array's slots to rebuild (99: none)
//   set md_sync_speed KIB                         sync speed limit in KiB/s (0: none)
//
// A refused command returns -errno, which the file system hands to the writer.
#pragma once

#include <string_view>

namespace mdsim {

int run_command(std::string_view line);
// Stops a started array regardless of users (shutdown); cmd not held.
void force_stop();

}  // namespace mdsim
