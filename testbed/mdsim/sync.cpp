#include "sync.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>

#include "array.h"
#include "log.h"

namespace mdsim {

static void measure(SyncState& s) {
  int64_t now = now_ms();
  if (now - s.mark_ms < 1000) return;
  s.dt = (now - s.mark_ms) / 1000;
  s.db = (s.pos - s.mark_pos) / 1024;
  s.mark_ms = now;
  s.mark_pos = s.pos;
}

static void sync_main() {
  Array& a = array();
  uint64_t mismatches = 0;
  int exit = 0;
  int64_t since = now_ms();
  uint64_t moved = 0;  // bytes since `since`, for the speed limit
  std::unique_lock lock(a.io);
  for (;;) {
    if (a.sync.paused && !a.sync_cancel) {
      a.sync_cv.wait(lock, [&] { return !a.sync.paused || a.sync_cancel; });
      since = now_ms();
      moved = 0;
    }
    if (a.sync_cancel) {
      exit = -4;
      break;
    }
    if (a.sync.pos >= a.sync.size) break;
    size_t len = static_cast<size_t>(std::min<uint64_t>(kChunk, a.sync.size - a.sync.pos));
    if (sync_chunk(a.sync.pos, len, a.sync.correct, mismatches) < 0) {
      logf(LOG_ERR, "md: sync: I/O error at %llu",
           static_cast<unsigned long long>(a.sync.pos));
      exit = -5;
      break;
    }
    a.sync.pos += len;
    a.sync.errs = mismatches;
    moved += len;
    measure(a.sync);
    // Above the speed limit: wait, a little at a time, so pause and cancel stay prompt.
    while (uint64_t speed = a.tuning.sync_speed_kib) {
      int64_t due = static_cast<int64_t>(moved / 1024 * 1000 / speed);
      int64_t ahead = due - (now_ms() - since);
      if (ahead <= 0 || a.sync_cancel || a.sync.paused) break;
      a.sync_cv.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(ahead, 100)));
    }
  }
  a.sync.running = false;
  a.sync.paused = false;
  a.sb.synced2 = time(nullptr);
  a.sb.sync_errs = mismatches;
  a.sb.sync_exit = exit;
  if (exit == 0)
    for (int s = 0; s < kSlots; s++)
      if (a.run[s].role == Role::rebuild) a.sb.slot[s].state = SlotState::ok;
  apply_runtime();
  save_superblock();
  logf(LOG_INFO, "md: sync done: %s, exit %d, %llu errors", a.sync.action.c_str(), exit,
       static_cast<unsigned long long>(mismatches));
}

int sync_start(std::string_view option) {
  Array& a = array();
  std::unique_lock lock(a.io);
  if (!a.started) return -EINVAL;
  if (a.sync.running) {
    if (option != "resume") return -EBUSY;
    a.sync.paused = false;
    a.sync_cv.notify_all();
    return 0;
  }
  if (option == "resume") return 0;  // nothing paused: nothing to resume
  bool correct = option != "nocorrect";
  std::string action = sync_action(a.sb, a.imports);
  if (action.starts_with("recon") && !correct) {
    logf(LOG_ERR, "md: check nocorrect refused: %s pending", action.c_str());
    return -EINVAL;
  }
  if (action == "check") {
    logf(LOG_INFO, "md: nothing to check");
    return 0;
  }
  if (a.sync_thread.joinable()) a.sync_thread.join();  // ended: it only returns
  SyncState& s = a.sync;
  s = SyncState();
  s.running = true;
  s.correct = correct;
  s.action = action;
  s.size = sync_size();
  s.mark_ms = now_ms();
  a.sync_cancel = false;
  for (int i = 0; i < kSlots; i++) a.run[i].rebuilt = 0;
  a.sb.synced = time(nullptr);
  a.sb.synced2 = 0;
  a.sb.sync_errs = 0;
  save_superblock();
  logf(LOG_INFO, "md: sync start: %s%s", action.c_str(), correct ? "" : " (nocorrect)");
  a.sync_thread = std::thread(sync_main);
  return 0;
}

void sync_pause() {
  Array& a = array();
  std::lock_guard lock(a.io);
  if (a.sync.running) {
    a.sync.paused = true;
    logf(LOG_INFO, "md: sync paused");
  }
}

void sync_cancel() {
  Array& a = array();
  {
    std::lock_guard lock(a.io);
    if (a.sync.running) a.sync_cancel = true;
    a.sync_cv.notify_all();
  }
  if (a.sync_thread.joinable()) a.sync_thread.join();
  std::lock_guard lock(a.io);
  a.sync_cancel = false;
}

}  // namespace mdsim
