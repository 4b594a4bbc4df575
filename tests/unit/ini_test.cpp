#include "state/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daemon/query.h"
#include "devices/device.h"
#include "log_capture.h"
#include "state/var.h"
#include "temp_dir.h"

namespace {

std::string render(ini_writer writer) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  EXPECT_EQ(writer(f), 0);
  fclose(f);
  std::string out(buf, len);
  free(buf);
  return out;
}

// Sections in order, each with its key lines in order.
using section = std::pair<std::string, std::vector<std::string>>;
std::vector<section> sections(const std::string &text) {
  std::vector<section> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("[\"", 0) == 0)
      out.push_back({line.substr(2, line.size() - 4), {}});
    else
      out.back().second.push_back(line.substr(0, line.find('=')));
  }
  return out;
}

std::vector<std::string> split_words(const char *words) {
  std::vector<std::string> out;
  std::istringstream in(words);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

int write_one(FILE *f) { return fprintf(f, "a=\"%s\"\n", get_var("a")) < 0 ? -1 : 0; }
int write_fails(FILE *f) {
  fputs("partial", f);
  return -1;
}

TEST(UpdateIni, RenamesOnlyOnAChange) {
  log_capture cap;
  temp_dir d;
  std::string target = d.file("t.ini");
  put_var("a=1");
  ASSERT_EQ(update_ini_at(d.path().c_str(), "t", write_one), 0);  // a missing target
  EXPECT_EQ(temp_dir::read(target), "a=\"1\"\n");
  struct stat before, after;
  ASSERT_EQ(stat(target.c_str(), &before), 0);

  init_debugging("update_ini");
  cap.clear();
  ASSERT_EQ(update_ini_at(d.path().c_str(), "t", write_one), 0);
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_NE(access((target + ".new").c_str(), F_OK), 0);
  EXPECT_EQ(cap.at(LOG_DEBUG), std::vector<std::string>{"debug: update_ini: unlinking: " + target + ".new"});

  put_var("a=2");
  cap.clear();
  ASSERT_EQ(update_ini_at(d.path().c_str(), "t", write_one), 0);
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(temp_dir::read(target), "a=\"2\"\n");
  EXPECT_EQ(cap.at(LOG_DEBUG), std::vector<std::string>{"debug: update_ini: renaming: " + target + ".new"});
}

TEST(UpdateIni, FailuresKeepThePreviousFile) {
  log_capture cap;
  temp_dir d;
  put_var("a=1");
  ASSERT_EQ(update_ini_at(d.path().c_str(), "t", write_one), 0);
  EXPECT_EQ(update_ini_at(d.path().c_str(), "t", write_fails), -1);
  EXPECT_EQ(temp_dir::read(d.file("t.ini")), "a=\"1\"\n");
  ASSERT_EQ(cap.at(LOG_ERR).size(), 1u);
  EXPECT_NE(cap.at(LOG_ERR)[0].find("update_ini"), std::string::npos);
  EXPECT_NE(cap.at(LOG_ERR)[0].find(": iwrite: " + d.file("t.ini.new")), std::string::npos);

  cap.clear();
  std::string missing = d.path() + "/no/such/dir";
  EXPECT_EQ(update_ini_at(missing.c_str(), "t", write_one), -1);
  ASSERT_EQ(cap.at(LOG_ERR).size(), 1u);
  EXPECT_EQ(cap.at(LOG_ERR)[0], "error: update_ini, " +
                                    cap.at(LOG_ERR)[0].substr(19, cap.at(LOG_ERR)[0].find(':', 19) - 19) +
                                    ": No such file or directory (2): fopen: " + missing + "/t.ini.new");
}

TEST(StateFiles, VarIniHasEveryKeyInOrderAndTheTokenLast) {
  put_var("version=6.12.0");
  put_var("MAX_ARRAYSZ=30");
  put_var("fsProgress=");
  std::string text = render(iwrite_var);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 131u);
  EXPECT_EQ(lines[0], "version=\"6.12.0\"");
  EXPECT_EQ(lines[1], "MAX_ARRAYSZ=\"30\"");
  EXPECT_EQ(lines[2], "MAX_CACHESZ=\"(null)\"");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "fsProgress=\"\""), lines.end());
  EXPECT_EQ(lines[129], "reservedNames=\"(null)\"");
  EXPECT_EQ(lines[130], std::string("csrf_token=\"") + csrf_token() + "\"");
}

// A machine with 30 array slots of which SYS_ARRAY_SLOTS=4 are configured (parity, disk1,
// disk2, and the second parity), a two-slot pool "cache" and the flash slot.
class SlotFiles : public testing::Test {
 protected:
  void SetUp() override {
    pool_first = 30;
    pool_count = 2;
    flash_first = 32;
    flash_count = 1;
    slot_count = 33;
    put_var("SYS_ARRAY_SLOTS=4");
    put_var("shareCount=0");
    const char *variables =
        "rdevName rdevId rdevTransport rdevSize rdevStatus rdevFormatString rdevRotational "
        "rdevDiscard rdevRemovable rdevSpundown rdevTemp rdevNumReads rdevNumWrites "
        "rdevNumErrors diskType diskColor diskSpindownDelay diskSpinupGroup diskId diskSize "
        "diskNameMapped diskLuksState diskFsStatus diskAutotrim diskCompression diskWarning "
        "diskCritical diskExportable diskComment diskFsColor diskFsSize diskFsFree diskFsUsed "
        "diskFsWidth diskFsGroups diskState diskSlots diskNumDevices diskSbNumDisks diskUUID "
        "diskShareEnabled diskShareFloor diskExport diskCaseSensitive diskSecurity diskReadList "
        "diskWriteList diskVolsizelimit diskExportNFS diskSecurityNFS diskHostListNFS";
    for (int i = 0; i < slot_count; i++) {
      std::string ident = i == 0 ? "parity" : i == 29 ? "parity2" : "disk" + std::to_string(i);
      if (i == 30) ident = "cache";
      if (i == 31) ident = "cache2";
      if (i == 32) ident = "flash";
      put_var("diskIdent.%i=%s", i, ident.c_str());
      for (const auto &v : split_words(variables)) put_var("%s.%i=%s.%i", v.c_str(), i, v.c_str(), i);
    }
    for (int i = 1; i < 29; i++) put_var("diskFsType.%i=xfs", i);
    put_var("diskFsType.30=btrfs");
    put_var("diskFsProfile.30=raid1");
    put_var("diskFsProfile.31=raid1");  // a pool member that carries only the profile
    put_var("diskFsType.32=vfat");
    for (const char *k : {"flashExport", "flashSecurity", "flashReadList", "flashWriteList"})
      put_var("%s=%s", k, k);
  }
};

TEST_F(SlotFiles, DisksIniKeysFollowTheSlotKind) {
  const std::string always =
      "idx name device id transport size status format rotational discard removable spundown "
      "temp numReads numWrites numErrors type color";
  const std::string array = " spindownDelay spinupGroup idSb sizeSb";
  const std::string data = " deviceSb luksState";
  const std::string fs = " fsType fsStatus autotrim compression warning critical exportable comment";
  const std::string usage = " fsColor fsSize fsFree fsUsed";
  const std::string pool = " fsProfile fsWidth fsGroups state slots devices devicesSb";
  const std::string fs_pool = " uuid shareEnabled shareFloor nameOrig";
  std::vector<section> expected = {
      {"parity", split_words((always + array).c_str())},
      {"disk1", split_words((always + array + data + fs + usage).c_str())},
      {"disk2", split_words((always + array + data + fs + usage).c_str())},
      {"parity2", split_words((always + array).c_str())},
      {"cache", split_words((always + array + data + fs + usage + pool + fs_pool).c_str())},
      {"cache2", split_words((always + array + data + usage + pool).c_str())},
      {"flash", split_words((always + fs + usage).c_str())},
  };
  std::string text = render(iwrite_disks);
  EXPECT_EQ(sections(text), expected);
  EXPECT_NE(text.find("[\"disk1\"]\nidx=\"1\"\nname=\"disk1\"\ndevice=\"rdevName.1\"\n"), std::string::npos);
  EXPECT_NE(text.find("nameOrig=\"cache\"\n"), std::string::npos);
}

TEST_F(SlotFiles, SecurityFilesListVolumesThenShares) {
  EXPECT_EQ(sections(render(iwrite_sec)),
            (std::vector<section>{
                {"disk1", split_words("export caseSensitive security readList writeList volsizelimit")},
                {"disk2", split_words("export caseSensitive security readList writeList volsizelimit")},
                {"cache", split_words("export caseSensitive security readList writeList volsizelimit")},
                {"flash", split_words("export security readList writeList")},
            }));
  put_var("shareCount=1");
  for (const char *v : {"shareName", "shareExport", "shareCaseSensitive", "shareSecurity",
                        "shareReadList", "shareWriteList", "shareVolsizelimit", "shareExportNFS",
                        "shareSecurityNFS", "shareHostListNFS"})
    put_var("%s.0=%s", v, v);
  std::vector<section> nfs = sections(render(iwrite_sec_nfs));
  ASSERT_EQ(nfs.size(), 4u);
  EXPECT_EQ(nfs[2], (section{"cache", split_words("export security hostList")}));
  EXPECT_EQ(nfs[3], (section{"shareName", split_words("export security hostList")}));
  EXPECT_EQ(sections(render(iwrite_sec)).back().first, "shareName");
  EXPECT_EQ(render(iwrite_sec).find("flash\"]\nexport=\"flashExport\"\nsecurity=\"flashSecurity\""),
            render(iwrite_sec).find("flash\"]"));
}

TEST_F(SlotFiles, MissingGuaranteedVariableEndsTheProcess) {
  put_var("rdevTemp.2");
  EXPECT_EXIT(render(iwrite_disks), testing::ExitedWithCode(1), "");
}

TEST(StateFiles, SharesAndUsers) {
  put_var("shareCount=0");
  EXPECT_EQ(render(iwrite_shares), "");
  put_var("userCount=2");
  const char *names[] = {"root", "alice"};
  for (int i = 0; i < 2; i++) {
    put_var("userName.%i=%s", i, names[i]);
    put_var("userDesc.%i=Desc %s", i, names[i]);
    put_var("userPasswd.%i=%s", i, i ? "no" : "yes");
  }
  EXPECT_EQ(render(iwrite_users),
            "[\"root\"]\nidx=\"0\"\nname=\"root\"\ndesc=\"Desc root\"\npasswd=\"yes\"\n"
            "[\"alice\"]\nidx=\"1\"\nname=\"alice\"\ndesc=\"Desc alice\"\npasswd=\"no\"\n");
}

TEST(StateFiles, DevsIniListsPresentUnclaimedDevices) {
  devices.clear();
  device a;
  a.ident = "dev1";
  a.name = "sdc";
  a.transport = "ata";
  a.id = "WDC_WD40EFRX_WD-1234";
  a.sectors = 7814037168ull;
  a.sector_size = 512;
  a.rotational = 1;
  a.presence = device_present;
  a.reads = 100;
  a.reads_base = 40;
  a.writes = 7;
  device gone = a, claimed = a, b = a;
  gone.ident = "dev9";
  gone.presence = device_free;
  claimed.ident = "disk1";
  claimed.claims = 1;
  b.ident = "dev2";
  b.name = "nvme0n1";
  b.temp_known = 1;
  b.temp = 38;
  b.spun_up = 0;
  devices = {a, gone, claimed, b};
  std::string text = render(iwrite_devs);
  EXPECT_EQ(text.substr(0, text.find("[\"dev2\"]")),
            "[\"dev1\"]\nname=\"dev1\"\nid=\"WDC_WD40EFRX_WD-1234\"\ndevice=\"sdc\"\n"
            "transport=\"ata\"\nsectors=\"7814037168\"\nsector_size=\"512\"\nrotational=\"1\"\n"
            "discard=\"0\"\nremovable=\"0\"\nspundown=\"0\"\ntemp=\"*\"\nnumReads=\"60\"\n"
            "numWrites=\"7\"\n");
  EXPECT_NE(text.find("[\"dev2\"]\nname=\"dev2\"\n"), std::string::npos);
  EXPECT_NE(text.find("spundown=\"1\"\ntemp=\"38\"\n"), std::string::npos);
  EXPECT_EQ(sections(text).size(), 2u);
}

}  // namespace
