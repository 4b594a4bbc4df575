// The state files: what the web GUI reads of the daemon, in /var/local/orvan.
//
// Each file is INI text PHP reads directly: ["section"] headers and key="value" lines,
// values as stored, LF line ends. A file is regenerated whole into "<name>.ini.new" and
// renamed over the old one only when its bytes changed: the rename is atomic for readers,
// an unchanged file keeps its inode, and the publisher sees a rename only for a change.
#pragma once

#include <cstdio>

inline constexpr char state_dir[] = "/var/local/orvan";

using ini_writer = int (*)(FILE *f);

// Rewrites <state_dir>/<name>.ini with `writer`. 0, or -1 with the previous file intact.
int update_ini(const char *name, ini_writer writer);
// The same in another directory.
int update_ini_at(const char *dir, const char *name, ini_writer writer);

int iwrite_var(FILE *f);
int iwrite_disks(FILE *f);
int iwrite_devs(FILE *f);
int iwrite_users(FILE *f);
int iwrite_shares(FILE *f);
int iwrite_sec(FILE *f);
int iwrite_sec_nfs(FILE *f);

// key="value of the variable key"; a missing variable is written as (null).
void iwrite_key(FILE *f, const char *key);

// Rewrites the seven files in order; an event name, when given, is then posted.
int refresh_state_files(const char *event);
// Stores the given state as fsState and the given progress text as fsProgress (logging a
// non-empty one), then rewrites var.ini.
int set_fs_state(const char *state, const char *progress);
int set_progress(const char *text);
int set_disk_fs_status(int slot, const char *status);
