// Disk encryption. See luks.h.
//
// cryptsetup's exit statuses become state codes: for luksOpen 0 and 5 (the mapping exists
// already) mean open, 1 means not open, 2 a wrong key; for luksClose and luksFormat the
// state is simply the status + 1. The passphrase is decoded only for the moment a command
// runs, handed to bash as a here-string and wiped afterwards, so it lives in no variable
// but luksKey itself.
#include "devices/luks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/text.h"

namespace {

constexpr const char *cryptsetup = "/usr/sbin/cryptsetup";
constexpr const char *mapper_prefix = "mapper/";
constexpr size_t mapper_prefix_len = 7;

constexpr const char *status_texts[] = {
    "Volume not encrypted", "Encrypted volume present", "Missing encryption key",
    "Wrong encryption key", "LUKS error 3",             "LUKS error 4",
    "LUKS error 5",
};


// Overwrites a buffer that held key material; the compiler may not drop the writes.
void wipe(void *p, size_t n) { explicit_bzero(p, n); }

// The passphrase in luksKey, decoded and quoted for the inside of single quotes. Quoted
// here rather than through shell_quote, whose ring would keep a copy for 127 more calls.
std::string quoted_passphrase(const char *encoded) {
  size_t len = strlen(encoded);
  std::vector<unsigned char> plain(len / 4 * 3 + 4);
  base64_decode(plain.data(), encoded, len);
  std::string quoted;
  quoted.reserve(len * 3 + 4);  // room for every byte quoted: no copy left behind by growth
  for (const unsigned char *p = plain.data(); *p; p++) {
    if (*p == '\'')
      quoted += "'\\''";
    else
      quoted += static_cast<char>(*p);
  }
  wipe(plain.data(), plain.size());
  return quoted;
}

// cmdCryptsetup's argument list is run by the shell as words: only characters to which no
// shell gives a meaning of its own may reach it.
bool plain_arguments(const char *value) {
  for (const char *p = value; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          strchr(" -_./:=,+@", c)))
      return false;
  }
  return true;
}

const char *disk_name(int slot) { return NEED_VAR("diskName.%i", slot); }

void put_luks_state(int slot, int state) { put_var("diskLuksState.%i=%d", slot, state); }

}  // namespace

int luks_key_type() {
  const char *key = get_var("luksKey");
  if (key && *key) return 0;
  const char *file = get_var("luksKeyfile");
  if (file && *file && stat_mode(file, S_IFREG)) return 1;
  return 2;
}

int shcmd_luks_key(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string command = vformat(fmt, ap);
  va_end(ap);

  switch (luks_key_type()) {
    case 0: {
      std::string quoted = quoted_passphrase(get_var("luksKey"));
      // The log shows the command under its own number; the quiet run takes the next.
      INFO("shcmd (%d): %s", next_command_number(), command.c_str());
      int rc = shcmd_test("%s <<< '%s'", command.c_str(), quoted.c_str());
      wipe(quoted.data(), quoted.size());
      return rc;
    }
    case 1: {
      const char *file = get_var("luksKeyfile");
      int rc = shcmd("%s --key-file='%s'", command.c_str(), shell_quote(file));
      put_var("luksKey");
      return rc;
    }
    default:
      return -1;
  }
}

int luks_retval(int is_luks) {
  if (!is_luks) return 0;
  if (luks_key_type() == 2) return 2;
  const char *progress = get_var("fsProgress");
  if (progress && strstr(progress, "Wrong encryption key")) return 3;
  return 1;
}

int device_luks_state(const char *name) {
  return luks_retval(shcmd_test("%s isLuks /dev/'%s' &> /dev/null", cryptsetup,
                                shell_quote(name)) == 0);
}

const char *luks_status_text(int state) {
  constexpr int count = static_cast<int>(sizeof status_texts / sizeof status_texts[0]);
  return state >= 0 && state < count ? status_texts[state] : "LUKS unknown error";
}

int disk_luksOpen(int slot) {
  std::string name = disk_name(slot);
  int state = device_luks_state(name.c_str());
  if (state != 0) {
    const char *quoted = shell_quote(name.c_str());
    int rc = shcmd_luks_key("%s luksOpen /dev/'%s' '%s' %s", cryptsetup, quoted, quoted,
                            is_pool_slot(slot) ? "--allow-discards" : "");
    if (rc == 0 || rc == 5)
      state = 1;
    else if (rc == 1)
      state = 0;
    else if (rc == -1)
      state = 2;
    else
      state = rc + 1;
  }
  put_luks_state(slot, state);
  put_var("diskNameMapped.%i=%s%s", slot, state == 1 ? mapper_prefix : "", name.c_str());
  return state;
}

int disk_luksClose(int slot) {
  const char *mapped = get_var("diskNameMapped.%i", slot);
  if (!mapped || strncmp(mapped, mapper_prefix, mapper_prefix_len) != 0) return 0;
  std::string name = mapped + mapper_prefix_len;
  int rc = shcmd("%s luksClose '%s'", cryptsetup, shell_quote(name.c_str()));
  if (rc == 0) put_var("diskNameMapped.%i=%s", slot, name.c_str());
  put_luks_state(slot, rc + 1);
  return rc + 1;
}

int disk_luksFormat(int slot) {
  if (disk_luksClose(slot) > 1) return -1;
  int rc = shcmd_luks_key("%s luksFormat /dev/'%s'", cryptsetup,
                          shell_quote(danger(disk_name(slot))));
  if (rc == 0) return disk_luksOpen(slot);
  // Without a key nothing ran: say so, as opening does, rather than "not encrypted".
  int state = rc == -1 ? 2 : rc + 1;
  put_luks_state(slot, state);
  return state;
}

int disk_luksErase(int slot) {
  if (disk_luksClose(slot) > 1) return -1;
  if (shcmd("/sbin/wipefs -af --lock /dev/'%s'", shell_quote(danger(disk_name(slot)))) != 0)
    return 1;
  put_luks_state(slot, 0);
  return 0;
}

int put_diskNameMapped(int slot) {
  std::string name = disk_name(slot);
  std::string link = "/dev/mapper/" + name;
  int mapped = lstat_mode(link.c_str(), S_IFLNK);
  put_var("diskNameMapped.%i=%s%s", slot, mapped ? mapper_prefix : "", name.c_str());
  return mapped;
}

int cmdCryptsetup(const char *value) {
  if (!plain_arguments(value)) {
    errno = EINVAL;
    ERR("cmdCryptsetup: argument list refused: it holds a shell metacharacter");
    return 0;
  }
  // The device named first is the target: never the boot device.
  if (const char *dev = text_after(value, "/dev/")) {
    std::string target(dev, strcspn(dev, " "));
    danger(target.c_str());
  }
  if (strstr(value, "luksOpen") || strstr(value, "luksFormat")) {
    if (luks_key_type() == 2)
      INFO("cmdCryptsetup: %s", luks_status_text(2));
    else
      shcmd_luks_key("%s %s", cryptsetup, value);
  } else {
    shcmd("%s %s", cryptsetup, value);
  }
  return 0;
}
