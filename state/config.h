// Settings files on the boot volume, under /boot/config.
//
// A file is a header line "# Generated settings:" and one key="value" line per key, CR LF
// ended. Reading is lenient: "#" lines are comments, each other line is split like a form
// field at "#" (a key and an unquoted value end at a trailing comment; a quoted value is
// taken verbatim), and lines without a key and "=" are skipped. Writing goes through
// "<path>.new", flushed to the medium and renamed over the file, so a crash or a full boot
// volume never leaves a half-written settings file behind.
//
// A defaults table lists the keys a file may hold with their defaults, in file order.
#pragma once

#include <span>

struct config_default {
  const char *key;
  const char *value;
};
using config_table = std::span<const config_default>;

inline constexpr char ident_cfg[] = "/boot/config/ident.cfg";
inline constexpr char disk_cfg[] = "/boot/config/disk.cfg";
inline constexpr char flash_cfg[] = "/boot/config/flash.cfg";
inline constexpr char share_cfg[] = "/boot/config/share.cfg";
inline constexpr char extra_cfg[] = "/boot/config/extra.cfg";

extern const config_table ident_defaults;
extern const config_table disk_global1_defaults;
extern const config_table disk_global2_defaults;
extern const config_table disk_slot_defaults;       // every array slot, as key.<slot>
extern const config_table disk_data_slot_defaults;  // data slots only, as key.<slot>
extern const config_table flash_defaults;
extern const config_table share_defaults;

// Every key of the file as the variable prefix+key. 0, or -1 when it cannot be opened.
int read_tokens(const char *path, const char *prefix);
// Stores every default (as key.<idx> when idx >= 0), then the file's values for the keys
// of the table. -1 when the file cannot be opened; the defaults stay.
int get_config_idx(const char *path, config_table table, int idx);
// With a table as get_config_idx without index; without one (empty) every key of the file.
int get_config(const char *path, config_table table);
// Writes the file from the table's variables (their defaults when missing). 0 or -errno.
int put_config(const char *path, config_table table);
// Writes the file from key.<idx> variables; a plain variable key (just posted) replaces
// key.<idx> first and is deleted. 0 or -errno.
int put_config_idx(const char *path, config_table table, int idx);
void put_defaults(config_table table);
void put_defaults_idx(config_table table, int idx);
// Gives an empty tunable its default and keeps <key>_default and <key>_status current.
void chk_default(const char *key, const char *def);

int get_ident();
int put_ident();
int get_extra();
// disk.cfg, or another file of its form
int get_disk_settings(const char *path = disk_cfg);
int put_disk_settings(const char *path = disk_cfg);
int put_disk_settings_init(const char *path = disk_cfg);
int get_flash();
int put_flash();
int get_share_settings();
