#include "superblock.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace mdsim {

static constexpr std::string_view kMagic = "mdsim-superblock 1";
static constexpr size_t kMaxLine = 512;
static constexpr size_t kMaxFile = 64 * 1024;

const char* slot_state_name(SlotState s) {
  switch (s) {
    case SlotState::ok: return "ok";
    case SlotState::disabled: return "disabled";
    case SlotState::invalid: return "invalid";
    case SlotState::none: break;
  }
  return "none";
}

bool Superblock::empty() const {
  for (const auto& s : slot)
    if (s.state != SlotState::none) return false;
  return true;
}

int Superblock::num_disks() const {
  if (empty()) return 0;
  int top = 0;
  for (int i = 1; i < kQ; i++)
    if (slot[i].state != SlotState::none) top = i;
  return top + 2;
}

template <typename T>
static bool parse_num(std::string_view s, T& out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

static bool parse_slot(std::string_view value, SbSlot& slot) {
  size_t a = value.find(' ');
  size_t b = a == std::string_view::npos ? a : value.find(' ', a + 1);
  if (b == std::string_view::npos) return false;
  std::string_view id = value.substr(0, a), size = value.substr(a + 1, b - a - 1),
                   state = value.substr(b + 1);
  if (id.empty() || !parse_num(size, slot.size_kib)) return false;
  if (state == "ok") slot.state = SlotState::ok;
  else if (state == "disabled") slot.state = SlotState::disabled;
  else if (state == "invalid") slot.state = SlotState::invalid;
  else return false;
  slot.id = std::string(id);
  return true;
}

int superblock_parse(const std::string& text, Superblock& out, std::string& why) {
  Superblock sb;
  std::string_view rest = text;
  bool first = true;
  int number = 0;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    number++;
    if (line.size() > kMaxLine) {
      why = "line " + std::to_string(number) + " too long";
      return -1;
    }
    if (first) {
      if (line != kMagic) {
        why = "not an mdsim superblock";
        return -1;
      }
      first = false;
      continue;
    }
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      why = "line " + std::to_string(number) + " has no '='";
      return -1;
    }
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    bool ok = true;
    if (key == "name") sb.name = std::string(value);
    else if (key == "events") ok = parse_num(value, sb.events);
    else if (key == "updated") ok = parse_num(value, sb.updated);
    else if (key == "state") ok = parse_num(value, sb.state);
    else if (key == "synced") ok = parse_num(value, sb.synced);
    else if (key == "synced2") ok = parse_num(value, sb.synced2);
    else if (key == "syncErrs") ok = parse_num(value, sb.sync_errs);
    else if (key == "syncExit") ok = parse_num(value, sb.sync_exit);
    else if (key.starts_with("slot.")) {
      int n = -1;
      ok = parse_num(key.substr(5), n) && n >= 0 && n < kSlots &&
           parse_slot(value, sb.slot[n]);
    }
    if (!ok) {
      why = "line " + std::to_string(number) + " is malformed";
      return -1;
    }
  }
  if (first) {
    why = "empty file";
    return -1;
  }
  out = sb;
  return 0;
}

int superblock_load(const std::string& path, Superblock& sb, std::string& why) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) {
    if (errno == ENOENT) {
      sb = Superblock();
      return 0;
    }
    why = std::string("open: ") + strerror(errno);
    return -1;
  }
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxFile) text.append(buf, n);
  bool failed = ferror(f);
  fclose(f);
  if (failed) {
    why = "read error";
    return -1;
  }
  if (text.size() > kMaxFile) {
    why = "file too large";
    return -1;
  }
  return superblock_parse(text, sb, why);
}

std::string superblock_format(const Superblock& sb) {
  std::string s(kMagic);
  s += "\nname=" + sb.name;
  s += "\nevents=" + std::to_string(sb.events);
  s += "\nupdated=" + std::to_string(sb.updated);
  s += "\nstate=" + std::to_string(sb.state);
  s += "\nsynced=" + std::to_string(sb.synced);
  s += "\nsynced2=" + std::to_string(sb.synced2);
  s += "\nsyncErrs=" + std::to_string(sb.sync_errs);
  s += "\nsyncExit=" + std::to_string(sb.sync_exit);
  s += "\n";
  for (int i = 0; i < kSlots; i++) {
    const SbSlot& slot = sb.slot[i];
    if (slot.state == SlotState::none) continue;
    s += "slot." + std::to_string(i) + "=" + slot.id + " " + std::to_string(slot.size_kib) +
         " " + slot_state_name(slot.state) + "\n";
  }
  return s;
}

int superblock_save(const std::string& path, const Superblock& sb) {
  std::string text = superblock_format(sb);
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -errno;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      unlink(tmp.c_str());
      return -e;
    }
    done += static_cast<size_t>(w);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    return -e;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    return -e;
  }
  std::string dir = path.substr(0, path.find_last_of('/') + 1);
  int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

}  // namespace mdsim
