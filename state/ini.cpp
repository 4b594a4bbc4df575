// The state files. See ini.h.
#include "state/ini.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "daemon/query.h"
#include "devices/device.h"
#include "state/publish.h"
#include "state/var.h"
#include "util/log.h"

namespace {

// var.ini, in order; each key is the name of its variable.
constexpr const char *var_keys[] = {
    "version", "MAX_ARRAYSZ", "MAX_CACHESZ", "NAME", "timeZone", "COMMENT", "SECURITY",
    "WORKGROUP", "DOMAIN", "DOMAIN_SHORT", "hideDotFiles", "localMaster", "serverMultiChannel",
    "enableFruit", "USE_NETBIOS", "USE_WSD", "WSD_OPT", "WSD2_OPT", "USE_NTP", "NTP_SERVER1",
    "NTP_SERVER2", "NTP_SERVER3", "NTP_SERVER4", "DOMAIN_LOGIN", "SYS_MODEL", "SYS_ARRAY_SLOTS",
    "SYS_FLASH_SLOTS", "USE_SSL", "PORT", "PORTSSL", "LOCAL_TLD", "BIND_MGT", "USE_TELNET",
    "PORTTELNET", "USE_SSH", "PORTSSH", "USE_UPNP", "START_PAGE", "startArray", "spindownDelay",
    "spinupGroups", "defaultFsType", "shutdownTimeout", "luksKeyfile", "poll_attributes",
    "poll_attributes_default", "poll_attributes_status", "queueDepth", "nr_requests",
    "nr_requests_default", "nr_requests_status", "md_scheduler", "md_scheduler_default",
    "md_scheduler_status", "md_num_stripes", "md_num_stripes_default", "md_num_stripes_status",
    "md_queue_limit", "md_queue_limit_default", "md_queue_limit_status", "md_sync_limit",
    "md_sync_limit_default", "md_sync_limit_status", "md_write_method",
    "md_write_method_default", "md_write_method_status", "shareDisk", "shareUser",
    "shareUserInclude", "shareUserExclude", "shareUserExclusive", "shareSMBEnabled",
    "shareNFSEnabled", "shareInitialOwner", "shareInitialGroup", "shareCacheEnabled",
    "shareCacheFloor", "shareShuttleSchedule", "shareShuttleLogging", "fuse_remember",
    "fuse_remember_default", "fuse_remember_status", "fuse_directio", "fuse_directio_default",
    "fuse_directio_status", "fuse_useino", "shareAvahiEnabled", "shareAvahiSMBName",
    "shareAvahiSMBModel", "safeMode", "startMode", "joinStatus", "sbClean", "sbName",
    "sbVersion", "sbUpdated", "sbEvents", "sbState", "sbSynced", "sbSyncErrs", "sbSynced2",
    "sbSyncExit", "sbNumDisks", "mdColor", "mdNumDisks", "mdNumDisabled", "mdNumInvalid",
    "mdNumMissing", "mdNumNew", "mdNumErased", "mdResync", "mdResyncCorr", "mdResyncPos",
    "mdResyncDb", "mdResyncDt", "mdResyncAction", "mdResyncSize", "mdState", "mdVersion",
    "fsState", "fsProgress", "fsCopyPrcnt", "fsNumMounted", "fsNumUnmountable",
    "fsUnmountableMask", "shareCount", "shareSMBCount", "shareNFSCount", "shareShuttleActive",
    "reservedNames",
};

// A key of a state file and the variable its value comes from (indexed by the slot or
// entry number).
struct ini_key {
  const char *key;
  const char *variable;
};

enum slot_rule {
  always,
  array_or_pool,
  data_or_pool,
  fs_or_flash,
  fs_profile_or_flash,
  fs_or_profile_in_pool,
  fs_in_pool,
};

struct slot_key {
  slot_rule rule;
  ini_key k;
};

constexpr slot_key disk_keys[] = {
    {always, {"name", "diskIdent"}},
    {always, {"device", "rdevName"}},
    {always, {"id", "rdevId"}},
    {always, {"transport", "rdevTransport"}},
    {always, {"size", "rdevSize"}},
    {always, {"status", "rdevStatus"}},
    {always, {"format", "rdevFormatString"}},
    {always, {"rotational", "rdevRotational"}},
    {always, {"discard", "rdevDiscard"}},
    {always, {"removable", "rdevRemovable"}},
    {always, {"spundown", "rdevSpundown"}},
    {always, {"temp", "rdevTemp"}},
    {always, {"numReads", "rdevNumReads"}},
    {always, {"numWrites", "rdevNumWrites"}},
    {always, {"numErrors", "rdevNumErrors"}},
    {always, {"type", "diskType"}},
    {always, {"color", "diskColor"}},
    {array_or_pool, {"spindownDelay", "diskSpindownDelay"}},
    {array_or_pool, {"spinupGroup", "diskSpinupGroup"}},
    {array_or_pool, {"idSb", "diskId"}},
    {array_or_pool, {"sizeSb", "diskSize"}},
    {data_or_pool, {"deviceSb", "diskNameMapped"}},
    {data_or_pool, {"luksState", "diskLuksState"}},
    {fs_or_flash, {"fsType", "diskFsType"}},
    {fs_or_flash, {"fsStatus", "diskFsStatus"}},
    {fs_or_flash, {"autotrim", "diskAutotrim"}},
    {fs_or_flash, {"compression", "diskCompression"}},
    {fs_or_flash, {"warning", "diskWarning"}},
    {fs_or_flash, {"critical", "diskCritical"}},
    {fs_or_flash, {"exportable", "diskExportable"}},
    {fs_or_flash, {"comment", "diskComment"}},
    {fs_profile_or_flash, {"fsColor", "diskFsColor"}},
    {fs_profile_or_flash, {"fsSize", "diskFsSize"}},
    {fs_profile_or_flash, {"fsFree", "diskFsFree"}},
    {fs_profile_or_flash, {"fsUsed", "diskFsUsed"}},
    {fs_or_profile_in_pool, {"fsProfile", "diskFsProfile"}},
    {fs_or_profile_in_pool, {"fsWidth", "diskFsWidth"}},
    {fs_or_profile_in_pool, {"fsGroups", "diskFsGroups"}},
    {fs_or_profile_in_pool, {"state", "diskState"}},
    {fs_or_profile_in_pool, {"slots", "diskSlots"}},
    {fs_or_profile_in_pool, {"devices", "diskNumDevices"}},
    {fs_or_profile_in_pool, {"devicesSb", "diskSbNumDisks"}},
    {fs_in_pool, {"uuid", "diskUUID"}},
    {fs_in_pool, {"shareEnabled", "diskShareEnabled"}},
    {fs_in_pool, {"shareFloor", "diskShareFloor"}},
    {fs_in_pool, {"nameOrig", "diskIdent"}},
};

constexpr ini_key user_keys[] = {
    {"name", "userName"}, {"desc", "userDesc"}, {"passwd", "userPasswd"}};

constexpr ini_key share_keys[] = {
    {"name", "shareName"},           {"nameOrig", "shareNameOrig"},
    {"comment", "shareComment"},     {"allocator", "shareAllocator"},
    {"splitLevel", "shareSplitLevel"}, {"floor", "shareFloor"},
    {"include", "shareInclude"},     {"exclude", "shareExclude"},
    {"useCache", "shareUseCache"},   {"cachePool", "shareCachePool"},
    {"cachePool2", "shareCachePool2"}, {"cow", "shareCOW"},
    {"color", "shareColor"},         {"size", "shareSize"},
    {"free", "shareFree"},           {"used", "shareUsed"},
    {"luksStatus", "shareLuksStatus"}, {"exclusive", "shareExclusive"},
};

constexpr ini_key disk_sec_keys[] = {
    {"export", "diskExport"},       {"caseSensitive", "diskCaseSensitive"},
    {"security", "diskSecurity"},   {"readList", "diskReadList"},
    {"writeList", "diskWriteList"}, {"volsizelimit", "diskVolsizelimit"},
};
constexpr ini_key flash_sec_keys[] = {
    {"export", "flashExport"},
    {"security", "flashSecurity"},
    {"readList", "flashReadList"},
    {"writeList", "flashWriteList"},
};
constexpr ini_key share_sec_keys[] = {
    {"export", "shareExport"},       {"caseSensitive", "shareCaseSensitive"},
    {"security", "shareSecurity"},   {"readList", "shareReadList"},
    {"writeList", "shareWriteList"}, {"volsizelimit", "shareVolsizelimit"},
};
constexpr ini_key disk_nfs_keys[] = {
    {"export", "diskExportNFS"}, {"security", "diskSecurityNFS"}, {"hostList", "diskHostListNFS"}};
constexpr ini_key share_nfs_keys[] = {
    {"export", "shareExportNFS"}, {"security", "shareSecurityNFS"}, {"hostList", "shareHostListNFS"}};

bool rule_holds(slot_rule rule, int slot) {
  switch (rule) {
    case always: return true;
    case array_or_pool: return is_array_slot(slot) || is_pool_slot(slot);
    case data_or_pool: return is_data_slot(slot) || is_pool_slot(slot);
    case fs_or_flash: return is_fs_slot(slot) || is_flash_slot(slot);
    case fs_profile_or_flash:
      return is_fs_slot(slot) || is_profile_slot(slot) || is_flash_slot(slot);
    case fs_or_profile_in_pool: return (is_fs_slot(slot) || is_profile_slot(slot)) && is_pool_slot(slot);
    case fs_in_pool: return is_fs_slot(slot) && is_pool_slot(slot);
  }
  return false;
}

void write_section(FILE *f, const char *name) { fprintf(f, "[\"%s\"]\n", name); }

// key="<variable>.<i>"; the variable is guaranteed to exist, and a missing one names the
// writer `func` in its fatal line.
void write_indexed(FILE *f, const char *func, const char *key, const char *variable, int i) {
  fprintf(f, "%s=\"%s\"\n", key, need_var(func, __LINE__, "%s.%i", variable, i));
}

template <size_t N>
void write_indexed_keys(FILE *f, const char *func, const ini_key (&keys)[N], int i) {
  for (const auto &k : keys) write_indexed(f, func, k.key, k.variable, i);
}

template <size_t N>
void write_plain_keys(FILE *f, const char *func, const ini_key (&keys)[N]) {
  for (const auto &k : keys)
    fprintf(f, "%s=\"%s\"\n", k.key, need_var(func, __LINE__, "%s", k.variable));
}

int count_of(const char *func, const char *variable) {
  return atoi(need_var(func, __LINE__, "%s", variable));
}

// Both files exist and hold the same bytes (two empty files are equal).
bool same_content(const char *a, const char *b) {
  int fa = open(a, O_RDONLY | O_CLOEXEC);
  if (fa < 0) return false;
  int fb = open(b, O_RDONLY | O_CLOEXEC);
  if (fb < 0) {
    close(fa);
    return false;
  }
  struct stat sa, sb;
  bool equal = false;
  if (fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 && sa.st_size == sb.st_size) {
    size_t n = static_cast<size_t>(sa.st_size);
    if (n == 0) {
      equal = true;
    } else {
      void *ma = mmap(nullptr, n, PROT_READ, MAP_PRIVATE, fa, 0);
      void *mb = mmap(nullptr, n, PROT_READ, MAP_PRIVATE, fb, 0);
      if (ma != MAP_FAILED && mb != MAP_FAILED) equal = memcmp(ma, mb, n) == 0;
      if (ma != MAP_FAILED) munmap(ma, n);
      if (mb != MAP_FAILED) munmap(mb, n);
    }
  }
  close(fa);
  close(fb);
  return equal;
}

}  // namespace

int update_ini_at(const char *dir, const char *name, ini_writer writer) {
  std::string target = std::string(dir) + "/" + name + ".ini";
  std::string temp = target + ".new";
  FILE *f = fopen(temp.c_str(), "we");
  if (!f) {
    ERR_AS("update_ini", "fopen: %s", temp.c_str());
    return -1;
  }
  if (writer(f) == -1) {
    ERR_AS("update_ini", "iwrite: %s", temp.c_str());
    fclose(f);
    return -1;
  }
  // A full disk shows up only when the buffered text is written out: never move a
  // half-written file into place.
  if (fflush(f) != 0 || ferror(f)) {
    ERR_AS("update_ini", "iwrite: %s", temp.c_str());
    fclose(f);
    unlink(temp.c_str());
    return -1;
  }
  if (fclose(f) != 0) {
    ERR_AS("update_ini", "iwrite: %s", temp.c_str());
    unlink(temp.c_str());
    return -1;
  }
  if (same_content(temp.c_str(), target.c_str())) {
    DBG_AS("update_ini", "unlinking: %s", temp.c_str());
    if (unlink(temp.c_str()) < 0) {
      ERR_AS("update_ini", "unlink: %s", temp.c_str());
      return -1;
    }
    return 0;
  }
  DBG_AS("update_ini", "renaming: %s", temp.c_str());
  if (rename(temp.c_str(), target.c_str()) < 0) {
    ERR_AS("update_ini", "rename: %s %s", temp.c_str(), target.c_str());
    return -1;
  }
  return 0;
}

int update_ini(const char *name, ini_writer writer) { return update_ini_at(state_dir, name, writer); }

void iwrite_key(FILE *f, const char *key) {
  const char *v = get_var("%s", key);
  fprintf(f, "%s=\"%s\"\n", key, v ? v : "(null)");
}

int iwrite_var(FILE *f) {
  for (const char *key : var_keys) iwrite_key(f, key);
  fprintf(f, "csrf_token=\"%s\"\n", csrf_token());
  return 0;
}

int iwrite_disks(FILE *f) {
  for (int slot = 0; slot < slot_count; slot++) {
    if (!is_configured_slot(slot)) continue;
    write_section(f, NEED_VAR("diskIdent.%i", slot));
    fprintf(f, "idx=\"%d\"\n", slot);
    for (const auto &k : disk_keys)
      if (rule_holds(k.rule, slot)) write_indexed(f, __func__, k.k.key, k.k.variable, slot);
  }
  return 0;
}

int iwrite_devs(FILE *f) {
  for (const device &d : devices) {
    if (d.presence != device_present || d.claims != 0) continue;
    write_section(f, d.ident.c_str());
    fprintf(f, "name=\"%s\"\n", d.ident.c_str());
    fprintf(f, "id=\"%s\"\n", d.id.c_str());
    fprintf(f, "device=\"%s\"\n", d.name.c_str());
    fprintf(f, "transport=\"%s\"\n", d.transport.c_str());
    fprintf(f, "sectors=\"%llu\"\n", static_cast<unsigned long long>(d.sectors));
    fprintf(f, "sector_size=\"%lu\"\n", static_cast<unsigned long>(d.sector_size));
    fprintf(f, "rotational=\"%d\"\n", d.rotational);
    fprintf(f, "discard=\"%d\"\n", d.discard);
    fprintf(f, "removable=\"%d\"\n", d.removable);
    fprintf(f, "spundown=\"%d\"\n", d.spun_up ? 0 : 1);
    if (d.temp_known)
      fprintf(f, "temp=\"%d\"\n", d.temp);
    else
      fprintf(f, "temp=\"*\"\n");
    fprintf(f, "numReads=\"%llu\"\n", static_cast<unsigned long long>(d.reads - d.reads_base));
    fprintf(f, "numWrites=\"%llu\"\n", static_cast<unsigned long long>(d.writes - d.writes_base));
  }
  return 0;
}

int iwrite_users(FILE *f) {
  int n = count_of(__func__, "userCount");
  for (int i = 0; i < n; i++) {
    write_section(f, NEED_VAR("userName.%i", i));
    fprintf(f, "idx=\"%d\"\n", i);
    write_indexed_keys(f, __func__, user_keys, i);
  }
  return 0;
}

int iwrite_shares(FILE *f) {
  int n = count_of(__func__, "shareCount");
  for (int i = 0; i < n; i++) {
    write_section(f, NEED_VAR("shareName.%i", i));
    write_indexed_keys(f, __func__, share_keys, i);
  }
  return 0;
}

int iwrite_sec(FILE *f) {
  for (int slot = 0; slot < slot_count; slot++) {
    if (!is_configured_slot(slot)) continue;
    if (is_fs_slot(slot)) {
      write_section(f, NEED_VAR("diskIdent.%i", slot));
      write_indexed_keys(f, __func__, disk_sec_keys, slot);
    } else if (is_flash_slot(slot)) {
      write_section(f, "flash");
      write_plain_keys(f, __func__, flash_sec_keys);
    }
  }
  int n = count_of(__func__, "shareCount");
  for (int i = 0; i < n; i++) {
    write_section(f, NEED_VAR("shareName.%i", i));
    write_indexed_keys(f, __func__, share_sec_keys, i);
  }
  return 0;
}

int iwrite_sec_nfs(FILE *f) {
  for (int slot = 0; slot < slot_count; slot++) {
    if (!is_configured_slot(slot) || !is_fs_slot(slot)) continue;
    write_section(f, NEED_VAR("diskIdent.%i", slot));
    write_indexed_keys(f, __func__, disk_nfs_keys, slot);
  }
  int n = count_of(__func__, "shareCount");
  for (int i = 0; i < n; i++) {
    write_section(f, NEED_VAR("shareName.%i", i));
    write_indexed_keys(f, __func__, share_nfs_keys, i);
  }
  return 0;
}

int refresh_state_files(const char *event) {
  update_ini("var", iwrite_var);
  update_ini("disks", iwrite_disks);
  update_ini("devs", iwrite_devs);
  update_ini("users", iwrite_users);
  update_ini("shares", iwrite_shares);
  update_ini("sec", iwrite_sec);
  update_ini("sec_nfs", iwrite_sec_nfs);
  if (event && *event) post_event(event);
  return 0;
}

int set_fs_state(const char *state, const char *progress) {
  if (state) put_var("fsState=%s", state);
  if (progress) {
    put_var("fsProgress=%s", progress);
    if (*progress) INFO("%s", progress);
  }
  update_ini("var", iwrite_var);
  return 0;
}

int set_progress(const char *text) { return set_fs_state(nullptr, text); }

int set_disk_fs_status(int slot, const char *status) {
  put_var("diskFsStatus.%i=%s", slot, status);
  update_ini("disks", iwrite_disks);
  return 0;
}
