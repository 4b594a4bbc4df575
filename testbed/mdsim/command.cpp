#include "command.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "array.h"
#include "log.h"
#include "loopdev.h"
#include "sync.h"

namespace mdsim {
namespace {

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') i++;
    size_t j = i;
    while (j < s.size() && s[j] != ' ') j++;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

template <typename T>
bool number(std::string_view s, T& out, T lo, T hi) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size() && out >= lo && out <= hi;
}

// Names and ids end up in paths and in key=value lines: plain characters only.
bool plain(std::string_view s, bool allow_slash) {
  if (s.empty() || s.size() > 128 || s == "." || s == "..") return false;
  for (unsigned char c : s)
    if (c <= ' ' || c >= 127 || c == '#' || c == '"' || c == '\\' || c == '=' ||
        (!allow_slash && c == '/'))
      return false;
  return true;
}

int refuse(int err, std::string_view line, const char* why) {
  logf(LOG_ERR, "mdcmd: %.*s: %s", int(line.size()), line.data(), why);
  return -err;
}

int cmd_import(std::string_view line, const std::vector<std::string_view>& w) {
  Array& a = array();
  int slot;
  if ((w.size() != 2 && w.size() != 7) || !number(w[1], slot, 0, kSlots - 1))
    return refuse(EINVAL, line, "usage: import N [NAME FIRSTSECTOR SIZEKIB ERASED ID]");
  Import imp;
  Member m;
  if (w.size() == 7) {
    int erased;
    if (!plain(w[2], false) || !plain(w[6], true) ||
        !number(w[3], imp.first_sector, uint64_t(0), uint64_t(1) << 50) ||
        !number(w[4], imp.size_kib, uint64_t(1), uint64_t(1) << 40) ||
        !number(w[5], erased, 0, 1))
      return refuse(EINVAL, line, "invalid argument");
    imp.present = true;
    imp.name = std::string(w[2]);
    imp.erased = erased;
    imp.id = std::string(w[6]);
    std::lock_guard lock(a.io);
    for (int s = 0; s < kSlots; s++)
      if (s != slot && a.imports[s].present &&
          (a.imports[s].name == imp.name || a.imports[s].id == imp.id))
        return refuse(EBUSY, line, "device already imported");
  }
  std::lock_guard lock(a.io);
  if (a.started) return refuse(EBUSY, line, "array is started");
  if (imp.present) {
    int r = member_open(a.dev_dir + "/" + imp.name, imp.first_sector * 512, imp.size_kib * 1024,
                        m);
    if (r < 0) return refuse(-r, line, strerror(-r));
  }
  member_close(a.members[slot]);
  a.members[slot] = m;
  a.imports[slot] = imp;
  logf(LOG_INFO, "mdcmd: %.*s", int(line.size()), line.data());
  return 0;
}

int cmd_set(std::string_view line, const std::vector<std::string_view>& w) {
  Array& a = array();
  std::lock_guard lock(a.io);
  Tuning& t = a.tuning;
  std::string_view key = w.size() > 1 ? w[1] : "";
  bool ok = false;
  if (key == "md_num_stripes" && w.size() == 3) ok = number(w[2], t.num_stripes, 1L, 1L << 24);
  else if (key == "md_queue_limit" && w.size() == 3) ok = number(w[2], t.queue_limit, 1L, 100L);
  else if (key == "md_sync_limit" && w.size() == 3) ok = number(w[2], t.sync_limit, 1L, 100L);
  else if (key == "md_sync_speed" && w.size() == 3)
    ok = number(w[2], t.sync_speed_kib, uint64_t(0), uint64_t(1) << 40);
  else if (key == "md_write_method" && w.size() <= 3) {
    std::string_view v = w.size() == 3 ? w[2] : "auto";
    ok = v == "auto" || v == "0" || v == "1";
    if (ok) t.write_method = v == "1" ? 1 : 0;
  } else if (key == "invalidslot" && w.size() == 4) {
    InvalidSlots inv;
    ok = number(w[2], inv.a, 0, 99) && number(w[3], inv.b, 0, 99) &&
         (inv.a < kSlots || inv.a == 99) && (inv.b < kSlots || inv.b == 99);
    if (ok) {
      t.invalid = inv;
      t.invalid_set = true;
    }
  } else if (key != "md_num_stripes" && key != "md_queue_limit" && key != "md_sync_limit" &&
             key != "md_sync_speed" && key != "md_write_method" && key != "invalidslot") {
    return refuse(EINVAL, line, "unknown setting");
  }
  if (!ok) return refuse(EINVAL, line, "invalid value");
  a.sync_cv.notify_all();  // a new speed applies at once
  logf(LOG_INFO, "mdcmd: %.*s", int(line.size()), line.data());
  return 0;
}

void detach_all() {
  Array& a = array();
  for (int s = 0; s < kSlots; s++) loop_detach(a.devices[s]);
}

int cmd_start(std::string_view line, const std::vector<std::string_view>& w) {
  Array& a = array();
  if (w.size() != 2) return refuse(EINVAL, line, "usage: start STATE");
  Superblock before;
  {
    std::lock_guard lock(a.io);
    if (a.started) return refuse(EBUSY, line, "already started");
    Evaluation ev = evaluate(a.sb, a.imports, false);
    if (w[1] != ev.md_state) return refuse(EINVAL, line, ("state is " + ev.md_state).c_str());
    if (ev.md_state.starts_with("ERROR:")) return refuse(EINVAL, line, "cannot start");
    if (ev.num_disks == 0) return refuse(EINVAL, line, "no devices");
    bool fresh = a.sb.empty();
    const InvalidSlots* inv = fresh && a.tuning.invalid_set ? &a.tuning.invalid : nullptr;
    Superblock plan = plan_start(a.sb, a.imports, inv);
    std::string error = check_plan(a.sb, plan, a.imports);
    a.tuning.invalid_set = false;
    if (!error.empty()) return refuse(EINVAL, line, error.c_str());
    before = a.sb;
    a.sb = plan;
    if (a.sb.name.empty()) {
      char host[256] = "";
      gethostname(host, sizeof host - 1);
      a.sb.name = host;
    }
    a.sb.state = 1;
    a.started = true;
    a.generation++;
    a.opens.fill(0);
    apply_runtime();
    if (save_superblock() < 0) {
      a.sb = before;
      a.started = false;
      apply_runtime();
      return refuse(EIO, line, "cannot write the superblock");
    }
  }
  // Outside io: the loop devices open our own files, served by other FUSE threads.
  for (int s = 1; s < kQ; s++) {
    bool serves;
    {
      std::lock_guard lock(a.io);
      serves = serves_device(s);
    }
    if (!serves) continue;
    std::string name = "md" + std::to_string(s) + "p1";
    int r = loop_attach(a.mount_dir + "/" + name, a.dev_dir + "/" + name, a.dev_dir,
                        a.devices[s]);
    if (r < 0) {
      logf(LOG_ERR, "md: %s: cannot make the array device: %s", name.c_str(), strerror(-r));
      detach_all();
      std::lock_guard lock(a.io);
      a.sb = before;
      a.started = false;
      a.generation++;
      apply_runtime();
      save_superblock();
      return refuse(-r, line, "start failed");
    }
  }
  logf(LOG_INFO, "mdcmd: %.*s: array started", int(line.size()), line.data());
  return 0;
}

int stop_array(std::string_view line, bool force) {
  Array& a = array();
  {
    std::lock_guard lock(a.io);
    if (!a.started) return refuse(EINVAL, line, "not started");
    for (int s = 1; s < kQ && !force; s++)
      if (a.opens[s] > 1) return refuse(EBUSY, line, "array device in use");
  }
  for (int s = 1; s < kQ && !force; s++)
    if (loop_claimed(a.devices[s], a.dev_dir)) return refuse(EBUSY, line, "array device in use");
  sync_cancel();
  for (const auto& dev : a.devices) loop_flush(dev);
  array_flush();
  detach_all();
  std::lock_guard lock(a.io);
  a.started = false;
  a.generation++;
  a.sb.state = 0;
  apply_runtime();
  save_superblock();
  logf(LOG_INFO, "mdcmd: %.*s: array stopped", int(line.size()), line.data());
  return 0;
}

int cmd_check(std::string_view line, const std::vector<std::string_view>& w) {
  std::string_view opt = w.size() > 1 ? w[1] : "";
  if (w.size() > 2 || (opt != "" && opt != "correct" && opt != "nocorrect" && opt != "resume"))
    return refuse(EINVAL, line, "usage: check [correct|nocorrect|resume]");
  int r = sync_start(opt);
  if (r < 0) return refuse(-r, line, strerror(-r));
  logf(LOG_INFO, "mdcmd: %.*s", int(line.size()), line.data());
  return 0;
}

int cmd_nocheck(std::string_view line, const std::vector<std::string_view>& w) {
  std::string_view opt = w.size() > 1 ? w[1] : "";
  if (w.size() > 2 || (opt != "" && opt != "pause" && opt != "cancel"))
    return refuse(EINVAL, line, "usage: nocheck [pause|cancel]");
  if (opt == "pause") sync_pause();
  else sync_cancel();
  logf(LOG_INFO, "mdcmd: %.*s", int(line.size()), line.data());
  return 0;
}

}  // namespace

int run_command(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() > 127) return refuse(EINVAL, line.substr(0, 32), "command too long");
  for (unsigned char c : line)
    if (c < ' ' || c >= 127) return refuse(EINVAL, "(binary)", "not a command");
  std::vector<std::string_view> w = split(line);
  if (w.empty()) return refuse(EINVAL, line, "empty command");
  std::lock_guard lock(array().cmd);
  if (w[0] == "import") return cmd_import(line, w);
  if (w[0] == "set") return cmd_set(line, w);
  if (w[0] == "start") return cmd_start(line, w);
  if (w[0] == "stop" && w.size() == 1) return stop_array(line, false);
  if (w[0] == "check") return cmd_check(line, w);
  if (w[0] == "nocheck") return cmd_nocheck(line, w);
  return refuse(EINVAL, line, "unknown command");
}

void force_stop() {
  Array& a = array();
  std::lock_guard lock(a.cmd);
  bool started;
  {
    std::lock_guard io(a.io);
    started = a.started;
  }
  if (started) stop_array("stop (shutdown)", true);
}

}  // namespace mdsim
