#include "devices/luks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "log_capture.h"
#include "state/var.h"
#include "temp_dir.h"

namespace {

// Every test starts without a key and without a progress text, whatever ran before it in
// the same process.
class Luks : public testing::Test {
 protected:
  void SetUp() override {
    put_var("luksKey");
    put_var("luksKeyfile");
    put_var("fsProgress");
  }
};

bool any_line_contains(const log_capture &cap, const std::string &text) {
  for (const auto &l : cap.all())
    if (l.text.find(text) != std::string::npos) return true;
  return false;
}

TEST_F(Luks, KeyTypeAndStateFromKeyAndProgress) {
  temp_dir dir;
  std::string keyfile = dir.write("keyfile", "secret");
  struct key_case {
    const char *key;       // luksKey, or nullptr for none
    std::string keyfile;   // luksKeyfile, "" for none
    int type;
  };
  const key_case cases[] = {
      {"aGk=", "", 0},           {"aGk=", keyfile, 0},  {"", keyfile, 1},
      {nullptr, keyfile, 1},     {"", "", 2},           {nullptr, dir.path(), 2},  // a directory
      {nullptr, dir.file("gone"), 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.key ? c.key : "(none)") + " " + c.keyfile);
    put_var("luksKey");
    if (c.key) put_var("luksKey=%s", c.key);
    put_var("luksKeyfile=%s", c.keyfile.c_str());
    EXPECT_EQ(luks_key_type(), c.type);
  }

  struct state_case {
    int is_luks;
    const char *key;
    const char *progress;
    int state;
  };
  const state_case states[] = {
      {0, nullptr, "Wrong encryption key", 0},  // not LUKS: nothing else matters
      {1, nullptr, "", 2},
      {1, nullptr, "Wrong encryption key", 2},  // no key at all wins over a wrong one
      {1, "aGk=", "", 1},
      {1, "aGk=", "Start error: Wrong encryption key", 3},
  };
  put_var("luksKeyfile=");
  for (const auto &s : states) {
    SCOPED_TRACE(s.progress);
    put_var("luksKey");
    if (s.key) put_var("luksKey=%s", s.key);
    put_var("fsProgress=%s", s.progress);
    EXPECT_EQ(luks_retval(s.is_luks), s.state);
  }
}

TEST_F(Luks, StatusTexts) {
  const char *texts[] = {"Volume not encrypted", "Encrypted volume present",
                         "Missing encryption key", "Wrong encryption key", "LUKS error 3",
                         "LUKS error 4", "LUKS error 5"};
  for (int i = 0; i < 7; i++) EXPECT_STREQ(luks_status_text(i), texts[i]);
  for (int i : {-1, 7, 256}) EXPECT_STREQ(luks_status_text(i), "LUKS unknown error");
}

// The passphrase reaches the command's standard input decoded and unchanged (single quotes
// included), and no log line shows it.
TEST_F(Luks, PassphraseDecodedOntoStandardInputOnly) {
  struct pass_case {
    const char *encoded;
    const char *passphrase;
  };
  const pass_case cases[] = {
      {"aXQncyBhIGtleQ==", "it's a key"},
      {"fn5-Pz8_", "~~~???"},  // the URL-safe alphabet
      {"fn5+Pz8/", "~~~???"},  // the standard one is read as well
      {"aGlq!aaa", "hij"},     // decoding stops at a character outside the alphabet
      {"aGlqaGk", "hij"},      // and ignores a short trailing group
      {"aGk=aGk=", "hihi"},    // a padded group does not end it
  };
  temp_dir dir;
  std::string out = dir.file("stdin");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.encoded);
    put_var("luksKey=%s", c.encoded);
    log_capture cap;
    EXPECT_EQ(shcmd_luks_key("cat > '%s'", out.c_str()), 0);
    EXPECT_EQ(temp_dir::read(out), std::string(c.passphrase) + "\n");
    ASSERT_EQ(cap.at(LOG_INFO).size(), 1u);
    EXPECT_EQ(cap.at(LOG_INFO)[0].substr(cap.at(LOG_INFO)[0].find(')')),
              "): cat > '" + out + "'");
    EXPECT_FALSE(any_line_contains(cap, c.passphrase));
    EXPECT_STREQ(get_var("luksKey"), c.encoded);  // kept for the next volume
  }
  // the quiet run's status is the command's
  put_var("luksKey=aGk=");
  EXPECT_EQ(shcmd_luks_key("exit %d", 3), 3);
}

TEST_F(Luks, KeyFileAppendedAndLoggedWithoutAPassphrase) {
  temp_dir dir;
  std::string keyfile = dir.write("it's key", "secret");
  std::string out = dir.file("args");
  put_var("luksKey=");
  put_var("luksKeyfile=%s", keyfile.c_str());
  log_capture cap;
  EXPECT_EQ(shcmd_luks_key("printf '%%s\\n' > '%s'", out.c_str()), 0);
  EXPECT_EQ(temp_dir::read(out), "--key-file=" + keyfile + "\n");
  EXPECT_EQ(get_var("luksKey"), nullptr);
  ASSERT_FALSE(cap.at(LOG_INFO).empty());
  EXPECT_NE(cap.at(LOG_INFO)[0].find("--key-file="), std::string::npos);

  // no key at all: -1 and nothing runs
  put_var("luksKeyfile=%s", dir.file("gone").c_str());
  cap.clear();
  std::string marker = dir.file("ran");
  EXPECT_EQ(shcmd_luks_key("touch '%s'", marker.c_str()), -1);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_TRUE(cap.all().empty());
}

TEST_F(Luks, CloseWithoutMappingDoesNothing) {
  const char *names[] = {"sdb1", "", "md1p1mapper/", "mapper"};
  for (const char *name : names) {
    SCOPED_TRACE(name);
    put_var("diskNameMapped.3=%s", name);
    put_var("diskLuksState.3=1");
    log_capture cap;
    EXPECT_EQ(disk_luksClose(3), 0);
    EXPECT_TRUE(cap.all().empty());
    EXPECT_STREQ(get_var("diskNameMapped.3"), name);
    EXPECT_STREQ(get_var("diskLuksState.3"), "1");
  }
  put_var("diskNameMapped.3");
  EXPECT_EQ(disk_luksClose(3), 0);
}

TEST_F(Luks, CryptsetupCommandRefusesShellMetacharacters) {
  temp_dir dir;
  std::string marker = dir.file("ran");
  const std::string values[] = {
      "isLuks /dev/sdb1; touch " + marker, "isLuks $(touch " + marker + ")",
      "isLuks `touch " + marker + "`",     "isLuks /dev/sdb1 | touch " + marker,
      "isLuks /dev/sdb1 > " + marker,      "isLuks /dev/sdb1 && touch " + marker,
      "isLuks '/dev/sdb1'",                "isLuks /dev/sdb1\ntouch " + marker,
      "luksOpen /dev/sdb1 \"x\"",          "isLuks /dev/sdb*",
      "isLuks ~/x",                        "isLuks /dev/sdb1 # x",
  };
  put_var("luksKey=aGk=");
  for (const auto &v : values) {
    SCOPED_TRACE(v);
    log_capture cap;
    EXPECT_EQ(cmdCryptsetup(v.c_str()), 0);
    ASSERT_EQ(cap.all().size(), 1u);
    EXPECT_EQ(cap.all()[0].priority, LOG_ERR);
    EXPECT_NE(cap.all()[0].text.find("cmdCryptsetup"), std::string::npos);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
  }
}

TEST_F(Luks, CryptsetupCommandRunsPlainArgumentLists) {
  put_var("flashDevice=sda");
  log_capture cap;
  EXPECT_EQ(cmdCryptsetup("isLuks /dev/orvan-unit-none"), 0);
  ASSERT_FALSE(cap.at(LOG_INFO).empty());
  const std::string line = cap.at(LOG_INFO)[0];
  EXPECT_EQ(line.substr(line.find(')')), "): /usr/sbin/cryptsetup isLuks /dev/orvan-unit-none");

  // opening or formatting needs a key: without one nothing runs
  cap.clear();
  EXPECT_EQ(cmdCryptsetup("luksOpen /dev/md1p1 md1p1 --allow-discards"), 0);
  EXPECT_EQ(cap.at(LOG_INFO), std::vector<std::string>{"cmdCryptsetup: Missing encryption key"});

  // the device named is the target, whatever follows it
  EXPECT_EXIT(cmdCryptsetup("luksFormat /dev/sda1 --batch-mode"), testing::ExitedWithCode(1), "");
  put_var("flashDevice");
}

}  // namespace
