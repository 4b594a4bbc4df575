// Disk encryption: LUKS volumes on partition 1 of a slot (for array data slots, on the
// array device the md driver provides), opened, closed, formatted and erased with
// cryptsetup.
//
// A slot's LUKS state is published as diskLuksState.<n> (codes below). While its volume
// is open, diskNameMapped.<n> is "mapper/" followed by diskName.<n>: the mapping is named
// after the device itself. The key is either the web GUI's passphrase in luksKey
// (base64url) or the key file named by luksKeyfile; the passphrase reaches cryptsetup on
// its standard input and never appears in an informational log line or in a file.
//
//   0 "Volume not encrypted"       1 "Encrypted volume present"
//   2 "Missing encryption key"     3 "Wrong encryption key"
//   4 "LUKS error 3"  5 "LUKS error 4"  6 "LUKS error 5"   other "LUKS unknown error"
//
// Everything here runs with the state lock held.
#pragma once

// 0 when luksKey holds a passphrase, else 1 when luksKeyfile names a regular file, else 2.
int luks_key_type();
// Runs the formatted command with the key: the passphrase on standard input (quiet, the
// log line shows the command only) or " --key-file=<file>" appended (logged). The exit
// status, or -1 when no key is available (nothing run).
int shcmd_luks_key(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The state of a partition that does (1) or does not (0) hold a LUKS header.
int luks_retval(int is_luks);
// The state of /dev/<name> as cryptsetup isLuks finds it.
int device_luks_state(const char *name);
const char *luks_status_text(int state);

// Opens the slot's volume when it is encrypted; publishes and returns the state.
int disk_luksOpen(int slot);
// Closes the slot's mapping: 0 when nothing was mapped, else the published state.
int disk_luksClose(int slot);
// Formats the slot's device as a LUKS volume and opens it: the state, or -1 when the old
// mapping could not be closed.
int disk_luksFormat(int slot);
// Wipes every signature (the LUKS header with it) off the slot's device: 0, 1 when wipefs
// failed, -1 when the old mapping could not be closed.
int disk_luksErase(int slot);
// Publishes diskNameMapped.<n> from whether /dev/mapper/<diskName> exists; 1 when it does.
int put_diskNameMapped(int slot);

// The cmdCryptsetup command: a cryptsetup argument list such as "luksOpen /dev/md1p1 md1p1".
// An argument list holding anything but letters, digits, spaces and "-_./:=,+@" is refused
// with an error line and runs nothing. Always 0, so the dispatcher refreshes the status.
int cmdCryptsetup(const char *value);
