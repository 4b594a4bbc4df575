// Local users. See users.h.
#include "shares/users.h"

#include <crypt.h>
#include <pwd.h>
#include <shadow.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "state/var.h"

namespace {

// The password hash of every shadow entry; an unreadable file has none.
std::map<std::string, std::string> read_hashes(const char *shadow_path) {
  std::map<std::string, std::string> hashes;
  FILE *f = fopen(shadow_path, "re");
  if (!f) return hashes;
  while (struct spwd *sp = fgetspent(f)) hashes[sp->sp_namp] = sp->sp_pwdp ? sp->sp_pwdp : "";
  fclose(f);
  return hashes;
}

// A password is set unless the hash is empty, a one-character marker ("*", "!"), or the
// hash of the empty password.
bool has_password(const std::map<std::string, std::string> &hashes, const char *name) {
  auto it = hashes.find(name);
  if (it == hashes.end() || it->second.size() <= 1) return false;
  const char *result = crypt("", it->second.c_str());
  return !result || it->second != result;
}

}  // namespace

void read_users_from(const char *passwd_path, const char *shadow_path) {
  int n = 0;
  if (FILE *f = fopen(passwd_path, "re")) {
    std::map<std::string, std::string> hashes = read_hashes(shadow_path);
    while (struct passwd *pw = fgetpwent(f)) {
      if (pw->pw_uid != 0 && pw->pw_uid < 1000) continue;
      put_var("userName.%i=%s", n, pw->pw_name);
      put_var("userDesc.%i=%s", n, pw->pw_gecos ? pw->pw_gecos : "");
      put_var("userPasswd.%i=%s", n, has_password(hashes, pw->pw_name) ? "yes" : "no");
      n++;
    }
    fclose(f);
  }
  put_var("userCount=%d", n);
}

void read_users() { read_users_from("/etc/passwd", "/etc/shadow"); }
