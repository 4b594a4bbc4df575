#include "state/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log_capture.h"
#include "state/var.h"
#include "temp_dir.h"

namespace {

class SettingsFiles : public testing::Test {
 protected:
  std::string file(const char *name) const { return dir_.file(name); }
  std::string write(const char *name, const std::string &text) const { return dir_.write(name, text); }
  static std::string read(const std::string &path) { return temp_dir::read(path); }
  temp_dir dir_;
};

constexpr config_default small_table[] = {{"NAME", "Tower"}, {"COMMENT", ""}, {"PORT", "80"}};

TEST_F(SettingsFiles, ReadingIsLenient) {
  std::string huge(200000, 'x');
  std::string path = write("ident.cfg",
                           "# Generated settings:\r\n"
                           "NAME=\"My Tower\" # the server's name\r\n"
                           "COMMENT=plain   words  here#comment\n"
                           "garbage line without equals\r\n"
                           "=\"no key\"\r\n"
                           "UNKNOWN=\"ignored\"\r\n"
                           "PORT=\"8080\r\n"            // unterminated quote
                           "huge=\"" + huge + "\"\r\n"
                           "  # indented comment\r\n");
  EXPECT_EQ(get_config(path.c_str(), small_table), 0);
  EXPECT_STREQ(get_var("NAME"), "My Tower");
  EXPECT_STREQ(get_var("COMMENT"), "plain words here");
  EXPECT_STREQ(get_var("PORT"), "8080");
  EXPECT_EQ(get_var("UNKNOWN"), nullptr);
  EXPECT_EQ(get_var("huge"), nullptr);

  // without a table every key becomes a variable
  EXPECT_EQ(get_config(path.c_str(), {}), 0);
  EXPECT_STREQ(get_var("UNKNOWN"), "ignored");
  EXPECT_EQ(get_var("huge"), huge);
  EXPECT_EQ(get_var("%s", ""), nullptr);
}

TEST_F(SettingsFiles, MissingFileKeepsDefaults) {
  log_capture cap;
  init_debugging("get_config_idx,read_tokens");
  cap.clear();
  std::string missing = file("nope.cfg");
  EXPECT_EQ(get_config(missing.c_str(), small_table), -1);
  EXPECT_STREQ(get_var("NAME"), "Tower");
  EXPECT_STREQ(get_var("COMMENT"), "");
  EXPECT_EQ(get_config(missing.c_str(), {}), -1);
  EXPECT_EQ(cap.at(LOG_DEBUG),
            (std::vector<std::string>{
                "debug: get_config_idx: fopen " + missing + ": No such file or directory - assigning defaults",
                "debug: read_tokens: fopen " + missing + ": No such file or directory"}));
}

TEST_F(SettingsFiles, SaveAndReloadRoundTrip) {
  std::string path = file("ident.cfg");
  put_var("NAME=Tower#2");
  put_var("COMMENT=say \"hi\" there");
  put_var("PORT");  // missing: the default is written
  ASSERT_EQ(put_config(path.c_str(), small_table), 0);
  EXPECT_EQ(read(path),
            "# Generated settings:\r\nNAME=\"Tower#2\"\r\nCOMMENT=\"say \"hi\" there\"\r\nPORT=\"80\"\r\n");
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
  put_var("NAME=x");
  ASSERT_EQ(get_config(path.c_str(), small_table), 0);
  EXPECT_STREQ(get_var("NAME"), "Tower#2");  // "#" survives because every value is quoted
  EXPECT_STREQ(get_var("COMMENT"), "say ");  // a double quote cuts the value
}

TEST_F(SettingsFiles, FailedWriteKeepsThePreviousFile) {
  log_capture cap;
  std::string sub = file("ro");
  ASSERT_EQ(system(("mkdir " + sub + " && echo 'NAME=\"old\"' > " + sub + "/ident.cfg && chmod 555 " + sub).c_str()), 0);
  std::string path = sub + "/ident.cfg";
  int rc = put_config(path.c_str(), small_table);
  if (geteuid() == 0) {
    // root writes anyway; make the temporary name a directory instead
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(system(("chmod 755 " + sub + " && echo 'NAME=\"old\"' > " + path + " && mkdir " + path + ".new").c_str()), 0);
    rc = put_config(path.c_str(), small_table);
  }
  EXPECT_LT(rc, 0);
  EXPECT_EQ(read(path), "NAME=\"old\"\n");
  ASSERT_EQ(cap.at(LOG_ERR).size(), 1u);
  EXPECT_NE(cap.at(LOG_ERR)[0].find("): fopen: " + path + ".new"), std::string::npos);
}

constexpr config_default share_table[] = {{"shareComment", ""}, {"shareFloor", "0"}, {"shareCOW", "auto"}};

TEST_F(SettingsFiles, IndexedSaveConsumesPostedVariables) {
  std::string path = file("share3.cfg");
  put_var("shareComment=posted comment");
  put_var("shareFloor.3=500");
  ASSERT_EQ(put_config_idx(path.c_str(), share_table, 3), 0);
  EXPECT_EQ(read(path),
            "# Generated settings:\r\nshareComment=\"posted comment\"\r\nshareFloor=\"500\"\r\n"
            "shareCOW=\"auto\"\r\n");
  EXPECT_EQ(get_var("shareComment"), nullptr);
  EXPECT_STREQ(get_var("shareComment.3"), "posted comment");
  EXPECT_STREQ(get_var("shareCOW.3"), "auto");  // the default is stored too

  ASSERT_EQ(get_config_idx(path.c_str(), share_table, 4), 0);
  EXPECT_STREQ(get_var("shareFloor.4"), "500");
  EXPECT_EQ(get_var("shareFloor"), nullptr);
}

TEST_F(SettingsFiles, TunablesTrackTheirDefaults) {
  struct tunable_case {
    const char *in_file;
    const char *value;
    const char *status;
  };
  const tunable_case cases[] = {
      {"md_num_stripes=\"\"", "1280", "default"},
      {"md_num_stripes=\"2048\"", "2048", "user-set"},
      {"md_num_stripes=\"1280\"", "1280", "default"},
      {"", "1280", "default"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in_file);
    std::string path = write("disk.cfg", std::string(c.in_file) + "\r\n");
    get_disk_settings(path.c_str());
    EXPECT_STREQ(get_var("md_num_stripes"), c.value);
    EXPECT_STREQ(get_var("md_num_stripes_default"), "1280");
    EXPECT_STREQ(get_var("md_num_stripes_status"), c.status);
  }
  EXPECT_STREQ(get_var("poll_attributes_status"), "default");
  EXPECT_STREQ(get_var("nr_requests_default"), "Auto");
}

TEST_F(SettingsFiles, DiskSettingsDefaultsFileValuesAndSpinupGroups) {
  std::string path = write("disk.cfg",
                           "startArray=\"yes\"\r\ndiskFsType.3=\"luks:btrfs\"\r\n"
                           "diskSpinupGroup.2=\"host3\"\r\ncustomKey=\"kept\"\r\n");
  get_disk_settings(path.c_str());
  EXPECT_STREQ(get_var("startArray"), "yes");
  EXPECT_STREQ(get_var("diskFsType.3"), "luks:btrfs");
  EXPECT_STREQ(get_var("diskFsType.2"), "auto");
  EXPECT_EQ(get_var("diskFsType.0"), nullptr);  // parity slots hold no file system
  EXPECT_EQ(get_var("diskFsType.29"), nullptr);
  EXPECT_STREQ(get_var("diskIdSlot.29"), "-");
  EXPECT_STREQ(get_var("customKey"), "kept");
  EXPECT_STREQ(get_var("diskSpinupGroup.2"), "");  // spinupGroups "no" empties every group

  write("disk.cfg", "spinupGroups=\"yes\"\r\ndiskSpinupGroup.2=\"host3\"\r\n");
  get_disk_settings(path.c_str());
  EXPECT_STREQ(get_var("diskSpinupGroup.2"), "host3");
}

TEST_F(SettingsFiles, DiskSettingsWriteTheConfiguredSlots) {
  std::string path = file("disk.cfg");
  std::string missing = file("none.cfg");
  get_disk_settings(missing.c_str());
  put_var("sbNumDisks=3");  // parity, disk1 and the second parity
  put_var("diskFsType.1=xfs");
  ASSERT_EQ(put_disk_settings(path.c_str()), 0);
  std::string text = read(path);
  EXPECT_EQ(text.rfind("# Generated settings:\r\nstartArray=\"no\"\r\nspindownDelay=\"0\"\r\n", 0), 0u);
  EXPECT_NE(text.find("md_write_method=\"auto\"\r\ndiskIdSlot.0=\"-\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("diskSpinupGroup.0=\"\"\r\ndiskIdSlot.1=\"-\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("diskFsType.1=\"xfs\"\r\n"), std::string::npos);
  EXPECT_EQ(text.find(".2="), std::string::npos);
  EXPECT_NE(text.find("diskIdSlot.29=\"-\"\r\ndiskSpindownDelay.29=\"-1\"\r\ndiskSpinupGroup.29=\"\"\r\n"),
            std::string::npos);
  EXPECT_EQ(text.find("diskFsType.29"), std::string::npos);
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);

  // read back, the file gives the same variables
  put_var("diskFsType.1=btrfs");
  get_disk_settings(path.c_str());
  EXPECT_STREQ(get_var("diskFsType.1"), "xfs");

  ASSERT_EQ(put_disk_settings_init(path.c_str()), 0);
  EXPECT_EQ(read(path),
            "# Generated settings:\r\nstartArray=\"no\"\r\nspindownDelay=\"0\"\r\nspinupGroups=\"no\"\r\n"
            "shutdownTimeout=\"90\"\r\nluksKeyfile=\"/root/keyfile\"\r\npoll_attributes=\"30\"\r\n");
}

}  // namespace
