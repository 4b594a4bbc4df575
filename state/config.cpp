// Settings files. See config.h.
#include "state/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/query.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/stream.h"

namespace {

constexpr char header[] = "# Generated settings:\r\n";
constexpr char apply_access[] = "/usr/local/orvan/webGui/scripts/apply_access";

constexpr config_default ident_table[] = {
    {"NAME", "Tower"},
    {"timeZone", "America/Los_Angeles"},
    {"COMMENT", ""},
    {"SECURITY", "user"},
    {"WORKGROUP", "WORKGROUP"},
    {"DOMAIN", ""},
    {"DOMAIN_SHORT", ""},
    {"hideDotFiles", "no"},
    {"enableFruit", "yes"},
    {"USE_NETBIOS", "no"},
    {"localMaster", "yes"},
    {"serverMultiChannel", "no"},
    {"USE_WSD", "yes"},
    {"WSD_OPT", ""},
    {"WSD2_OPT", ""},
    {"USE_NTP", "no"},
    {"NTP_SERVER1", ""},
    {"NTP_SERVER2", ""},
    {"NTP_SERVER3", ""},
    {"NTP_SERVER4", ""},
    {"DOMAIN_LOGIN", "Administrator"},
    {"DOMAIN_PASSWD", ""},
    {"SYS_MODEL", "Custom"},
    {"SYS_ARRAY_SLOTS", "0"},
    {"USE_SSL", "no"},
    {"PORT", "80"},
    {"PORTSSL", "443"},
    {"LOCAL_TLD", "local"},
    {"BIND_MGT", "no"},
    {"USE_TELNET", "no"},
    {"PORTTELNET", "23"},
    {"USE_SSH", "no"},
    {"PORTSSH", "22"},
    {"USE_UPNP", "no"},
    {"START_PAGE", "Main"},
};

constexpr config_default disk_global1_table[] = {
    {"startArray", "no"},        {"spindownDelay", "0"},
    {"spinupGroups", "no"},      {"shutdownTimeout", "90"},
    {"luksKeyfile", "/root/keyfile"}, {"poll_attributes", "30"},
};

constexpr config_default disk_global2_table[] = {
    {"defaultFsType", "xfs"},   {"queueDepth", "auto"},    {"nr_requests", "Auto"},
    {"md_scheduler", "auto"},   {"md_num_stripes", "1280"}, {"md_queue_limit", "80"},
    {"md_sync_limit", "5"},     {"md_write_method", "auto"},
};

constexpr config_default disk_slot_table[] = {
    {"diskIdSlot", "-"},
    {"diskSpindownDelay", "-1"},
    {"diskSpinupGroup", ""},
};

constexpr config_default disk_data_slot_table[] = {
    {"diskFsType", "auto"},       {"diskFsProfile", ""},        {"diskFsWidth", "1"},
    {"diskFsGroups", "1"},        {"diskAutotrim", ""},         {"diskCompression", ""},
    {"diskComment", ""},          {"diskWarning", ""},          {"diskCritical", ""},
    {"diskExport", "-"},          {"diskCaseSensitive", "auto"}, {"diskSecurity", "public"},
    {"diskReadList", ""},         {"diskWriteList", ""},        {"diskVolsizelimit", ""},
    {"diskExportNFS", "-"},       {"diskExportNFSFsid", "0"},   {"diskSecurityNFS", "public"},
    {"diskHostListNFS", ""},
};

constexpr config_default flash_table[] = {
    {"flashExport", "-"},
    {"flashSecurity", "public"},
    {"flashReadList", ""},
    {"flashWriteList", ""},
};

constexpr config_default share_table[] = {
    {"shareDisk", "auto"},
    {"shareUser", "e"},
    {"shareUserInclude", ""},
    {"shareUserExclude", ""},
    {"shareUserExclusive", "no"},
    {"shareSMBEnabled", "yes"},
    {"shareNFSEnabled", "no"},
    {"shareNFSFsid", "100"},
    {"shareInitialOwner", "Administrator"},
    {"shareInitialGroup", "Domain Users"},
    {"shareCacheEnabled", "yes"},
    {"shareCacheFloor", "2000000"},
    {"shareShuttleSchedule", "40 3 * * *"},
    {"shareShuttleLogging", "no"},
    {"fuse_remember", "330"},
    {"fuse_directio", "auto"},
    {"fuse_useino", "yes"},
    {"shareAvahiEnabled", "yes"},
    {"shareAvahiSMBName", "%h"},
    {"shareAvahiSMBModel", "Xserve"},
};

// The tunables whose _default and _status companions the GUI shows, after poll_attributes.
constexpr config_default md_tunables[] = {
    {"nr_requests", "Auto"},   {"md_scheduler", "auto"},  {"md_num_stripes", "1280"},
    {"md_queue_limit", "80"},  {"md_sync_limit", "5"},    {"md_write_method", "auto"},
};

bool in_table(config_table table, const char *key) {
  for (const auto &d : table)
    if (strcmp(d.key, key) == 0) return true;
  return false;
}

// Calls `store(key, value)` for every key="value" line of the file. -1 when it cannot be
// opened (errno says why).
template <typename Store>
int read_settings(const char *path, Store store) {
  FILE *f = fopen(path, "re");
  if (!f) return -1;
  char *line = nullptr;
  size_t size = 0;
  while (getline_trim(&line, &size, f) >= 0) {
    if (line[0] == '#') continue;
    field fd{};
    if (!next_token(line, '#', &fd) || !fd.value || !fd.name[0]) continue;
    store(fd.name, fd.value);
  }
  free(line);
  fclose(f);
  return 0;
}

// An open "<path>.new" with everything written so far; finish_settings moves it into place.
struct settings_writer {
  std::string path;
  std::string temp;
  FILE *f = nullptr;
};

int start_settings(settings_writer &w, const char *path, const char *func, bool log_temp) {
  w.path = path;
  w.temp = w.path + ".new";
  w.f = fopen(w.temp.c_str(), "we");
  if (!w.f) {
    int e = errno;
    ERR_AS(func, "fopen: %s", log_temp ? w.temp.c_str() : path);
    return -e;
  }
  fputs(header, w.f);
  return 0;
}

void write_line(settings_writer &w, const char *key, const char *value) {
  fprintf(w.f, "%s=\"%s\"\r\n", key, value);
}

// Flushes the new file to the medium and renames it over the old one. On any failure
// the old file stays and the new one is removed.
int finish_settings(settings_writer &w, const char *func) {
  bool ok = fflush(w.f) == 0 && !ferror(w.f) && fsync(fileno(w.f)) == 0;
  int e = errno;
  if (fclose(w.f) != 0 && ok) {
    ok = false;
    e = errno;
  }
  w.f = nullptr;
  if (!ok) {
    errno = e;
    ERR_AS(func, "write: %s", w.temp.c_str());
    unlink(w.temp.c_str());
    return -e;
  }
  if (rename(w.temp.c_str(), w.path.c_str()) < 0) {
    e = errno;
    ERR_AS(func, "rename: %s %s", w.temp.c_str(), w.path.c_str());
    unlink(w.temp.c_str());
    return -e;
  }
  return 0;
}

// The disk.cfg lines of array slot i.
void write_slot_lines(settings_writer &w, config_table table, int i, const char *func) {
  for (const auto &d : table)
    fprintf(w.f, "%s.%i=\"%s\"\r\n", d.key, i, need_var(func, __LINE__, "%s.%i", d.key, i));
}

// Header and the global part 1 keys of disk.cfg, then the poll_attributes companions.
void write_disk_global1(settings_writer &w, const char *func) {
  for (const auto &d : disk_global1_table) write_line(w, d.key, need_var(func, __LINE__, "%s", d.key));
  chk_default("poll_attributes", "30");
}

}  // namespace

const config_table ident_defaults{ident_table};
const config_table disk_global1_defaults{disk_global1_table};
const config_table disk_global2_defaults{disk_global2_table};
const config_table disk_slot_defaults{disk_slot_table};
const config_table disk_data_slot_defaults{disk_data_slot_table};
const config_table flash_defaults{flash_table};
const config_table share_defaults{share_table};

int read_tokens(const char *path, const char *prefix) {
  int rc = read_settings(path, [prefix](const char *key, const char *value) {
    put_var("%s%s=%s", prefix, key, value);
  });
  if (rc < 0) DBG("fopen %s: %m", path);
  return rc;
}

int get_config_idx(const char *path, config_table table, int idx) {
  if (idx >= 0)
    put_defaults_idx(table, idx);
  else
    put_defaults(table);
  if (!path || !*path) return 0;
  int rc = read_settings(path, [table, idx](const char *key, const char *value) {
    if (!in_table(table, key)) return;
    if (idx >= 0)
      put_var("%s.%i=%s", key, idx, value);
    else
      put_var("%s=%s", key, value);
  });
  if (rc < 0) DBG("fopen %s: %m - assigning defaults", path);
  return rc;
}

int get_config(const char *path, config_table table) {
  if (table.empty()) return read_tokens(path, "");
  return get_config_idx(path, table, -1);
}

int put_config(const char *path, config_table table) {
  settings_writer w;
  if (int rc = start_settings(w, path, __func__, true); rc < 0) return rc;
  for (const auto &d : table) {
    const char *v = get_var("%s", d.key);
    write_line(w, d.key, v ? v : d.value);
  }
  return finish_settings(w, __func__);
}

int put_config_idx(const char *path, config_table table, int idx) {
  settings_writer w;
  if (int rc = start_settings(w, path, __func__, false); rc < 0) return rc;
  for (const auto &d : table) {
    if (const char *posted = get_var("%s", d.key)) {
      put_var("%s.%i=%s", d.key, idx, posted);
      put_var("%s", d.key);
    }
    const char *v = get_var("%s.%i", d.key, idx);
    if (!v) {
      put_var("%s.%i=%s", d.key, idx, d.value);
      v = d.value;
    }
    write_line(w, d.key, v);
  }
  return finish_settings(w, __func__);
}

void put_defaults(config_table table) {
  for (const auto &d : table) put_var("%s=%s", d.key, d.value);
}

void put_defaults_idx(config_table table, int idx) {
  for (const auto &d : table) put_var("%s.%i=%s", d.key, idx, d.value);
}

void chk_default(const char *key, const char *def) {
  if (!*NEED_VAR("%s", key)) put_var("%s=%s", key, def);
  put_var("%s_default=%s", key, def);
  put_var("%s_status=%s", key, strcmp(NEED_VAR("%s", key), def) == 0 ? "default" : "user-set");
}

int get_ident() { return get_config(ident_cfg, ident_defaults); }

int put_ident() {
  int rc = put_config(ident_cfg, ident_defaults);
  shcmd("%s", apply_access);
  return rc;
}

int get_extra() {
  put_var("tierfsExtra");
  put_var("tierfsExtra0");
  return get_config(extra_cfg, {});
}

int get_disk_settings(const char *path) {
  put_defaults(disk_global1_defaults);
  put_defaults(disk_global2_defaults);
  for (int i = 0; i < MAX_ARRAYSZ; i++) {
    put_defaults_idx(disk_slot_defaults, i);
    if (!is_parity_slot(i)) put_defaults_idx(disk_data_slot_defaults, i);
  }
  int rc = get_config(path, {});
  chk_default("poll_attributes", "30");
  for (const auto &t : md_tunables) chk_default(t.key, t.value);
  if (strcmp(NEED_VAR("spinupGroups"), "no") == 0)
    for (int i = 0; i < MAX_ARRAYSZ; i++) put_var("diskSpinupGroup.%i=", i);
  return rc;
}

int put_disk_settings(const char *path) {
  settings_writer w;
  if (int rc = start_settings(w, path, __func__, false); rc < 0) return rc;
  write_disk_global1(w, __func__);
  for (const auto &d : disk_global2_table) write_line(w, d.key, NEED_VAR("%s", d.key));
  for (const auto &t : md_tunables) chk_default(t.key, t.value);
  int width = atoi(NEED_VAR("sbNumDisks"));
  for (int i = 0; i < MAX_ARRAYSZ; i++) {
    if (!(i < width - 1 || i == MAX_ARRAYSZ - 1)) continue;
    write_slot_lines(w, disk_slot_defaults, i, __func__);
    if (!is_parity_slot(i)) write_slot_lines(w, disk_data_slot_defaults, i, __func__);
  }
  return finish_settings(w, __func__);
}

int put_disk_settings_init(const char *path) {
  settings_writer w;
  if (int rc = start_settings(w, path, __func__, false); rc < 0) return rc;
  write_disk_global1(w, __func__);
  return finish_settings(w, __func__);
}

int get_flash() { return get_config(flash_cfg, flash_defaults); }

int put_flash() { return put_config(flash_cfg, flash_defaults); }

int get_share_settings() {
  int rc = get_config(share_cfg, share_defaults);
  chk_default("fuse_remember", "330");
  chk_default("fuse_directio", "auto");
  return rc;
}
