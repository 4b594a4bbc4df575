// The once-a-second status cycle's own work on a full array (30 array slots and the flash
// slot): the colours and spin states (get_statistics), and disks.ini rewritten, both when
// nothing changed (compared and left alone, the common case) and when one value did
// (written and renamed). The baseline writes the same text with one fwrite into a file
// and renames it, in the same run. This program measures and prints; it asserts
// nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "array/status.h"
#include "state/ini.h"
#include "state/var.h"

namespace {

constexpr const char *slot_variables[] = {
    "rdevName", "rdevId", "rdevTransport", "rdevSize", "rdevStatus", "rdevFormatString",
    "rdevRotational", "rdevDiscard", "rdevRemovable", "rdevSpundown", "rdevTemp",
    "rdevNumReads", "rdevNumWrites", "rdevNumErrors", "diskType", "diskColor",
    "diskSpindownDelay", "diskSpinupGroup", "diskId", "diskSize", "diskNameMapped",
    "diskLuksState", "diskFsStatus", "diskAutotrim", "diskCompression", "diskWarning",
    "diskCritical", "diskExportable", "diskComment", "diskFsColor", "diskFsSize", "diskFsFree",
    "diskFsUsed", "diskFsProfile", "diskFsWidth", "diskFsGroups", "diskState", "diskSlots",
    "diskNumDevices", "diskSbNumDisks", "diskUUID", "diskShareEnabled", "diskShareFloor"};

std::string state_dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/orvan-status-bench-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    return std::string(tmpl);
  }();
  return dir;
}

void fill_slots() {
  static bool done = false;
  if (done) return;
  done = true;
  put_var("SYS_ARRAY_SLOTS=30");
  put_var("mdNumInvalid=0");
  for (int slot = 0; slot <= MAX_ARRAYSZ; slot++) {
    for (const char *v : slot_variables) put_var("%s.%i=1234567890", v, slot);
    put_var("diskIdent.%i=disk%d", slot, slot);
    put_var("diskFsType.%i=xfs", slot);
    put_var("rdevStatus.%i=DISK_OK", slot);
  }
  slot_count = MAX_ARRAYSZ + 1;
  pool_first = pool_count = 0;
  flash_first = MAX_ARRAYSZ;
  flash_count = 1;
}

void BM_Statistics(benchmark::State &state) {
  fill_slots();
  for (auto _ : state) benchmark::DoNotOptimize(get_statistics());
}
BENCHMARK(BM_Statistics);

void BM_DisksIniUnchanged(benchmark::State &state) {
  fill_slots();
  update_ini_at(state_dir().c_str(), "disks", iwrite_disks);
  for (auto _ : state) update_ini_at(state_dir().c_str(), "disks", iwrite_disks);
}
BENCHMARK(BM_DisksIniUnchanged);

void BM_DisksIniChanged(benchmark::State &state) {
  fill_slots();
  int n = 0;
  for (auto _ : state) {
    put_var("rdevNumReads.1=%d", ++n);
    update_ini_at(state_dir().c_str(), "disks", iwrite_disks);
  }
  put_var("rdevNumReads.1=1234567890");
}
BENCHMARK(BM_DisksIniChanged);

// Formatting alone: the writer into a memory stream, nothing touches a file.
void BM_DisksIniFormatOnly(benchmark::State &state) {
  fill_slots();
  for (auto _ : state) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    iwrite_disks(mem);
    fclose(mem);
    free(buf);
  }
}
BENCHMARK(BM_DisksIniFormatOnly);

// The same bytes written whole with one fwrite and renamed into place.
void BM_BaselineWholeFileRewrite(benchmark::State &state) {
  fill_slots();
  std::string path = state_dir() + "/baseline.ini";
  char *buf = nullptr;
  size_t len = 0;
  FILE *mem = open_memstream(&buf, &len);
  iwrite_disks(mem);
  fclose(mem);
  std::string text(buf, len);
  free(buf);
  for (auto _ : state) {
    std::string tmp = path + ".new";
    FILE *f = fopen(tmp.c_str(), "w");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    rename(tmp.c_str(), path.c_str());
  }
}
BENCHMARK(BM_BaselineWholeFileRewrite);

}  // namespace

BENCHMARK_MAIN();
