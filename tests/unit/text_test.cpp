#include "util/text.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "temp_dir.h"

namespace {

TEST(ShellQuote, QuotesSingleQuotesAndKeepsPlainText) {
  const char *plain = "plain text; $(rm -rf /)";
  EXPECT_EQ(shell_quote(plain), plain);
  EXPECT_STREQ(shell_quote("it's"), "it'\\''s");
  EXPECT_STREQ(shell_quote("''"), "'\\'''\\''");
  // The quoted text survives a real shell unchanged.
  const char *nasty = "a'b\"c $HOME `id` \\ ;|&";
  std::string cmd = std::string("printf %s '") + shell_quote(nasty) + "'";
  FILE *p = popen(cmd.c_str(), "r");
  char buf[128] = {};
  ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
  pclose(p);
  EXPECT_STREQ(buf, nasty);
}

TEST(ShellQuote, ResultsLiveFor127FurtherCalls) {
  const char *first = shell_quote("x'0");
  std::string copy = first;
  for (int i = 1; i < 128; i++) shell_quote(("x'" + std::to_string(i)).c_str());
  EXPECT_EQ(copy, first);
}

TEST(StatMode, FileTypesAndPermissions) {
  temp_dir dir;
  const std::string &d = dir.path();
  std::string file = d + "/f", exe = d + "/x", sock = d + "/s", link = d + "/l";
  close(creat(file.c_str(), 0644));
  close(creat(exe.c_str(), 0755));
  ASSERT_EQ(symlink(exe.c_str(), link.c_str()), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

  EXPECT_EQ(stat_mode(file.c_str(), 0x8000), 1);
  EXPECT_EQ(stat_mode(file.c_str(), 0x8040), 0);
  EXPECT_EQ(stat_mode(exe.c_str(), 0x8040), 1);
  EXPECT_EQ(stat_mode(link.c_str(), 0x8040), 1);
  EXPECT_EQ(lstat_mode(link.c_str(), 0x8000), 0);  // a link is no regular file
  EXPECT_EQ(lstat_mode(link.c_str(), S_IFLNK), 1);
  EXPECT_EQ(stat_mode(sock.c_str(), 0x8000), 0);   // a socket carries the 0x8000 bit too
  EXPECT_EQ(stat_mode(d.c_str(), 0x8000), 0);
  EXPECT_EQ(stat_mode((d + "/missing").c_str(), 0x8000), 0);

  char buf[8];
  EXPECT_EQ(readlink_at(d.c_str(), "l", buf, sizeof buf), 7);  // cut to capacity - 1
  EXPECT_EQ(std::string(buf), exe.substr(0, 7));
  EXPECT_EQ(readlink_at(d.c_str(), "f", buf, sizeof buf), -1);
  close(fd);
}

TEST(TextUtilities, SmallRules) {
  EXPECT_STREQ(text_after("ID_SERIAL=abc", "ID_SERIAL="), "abc");
  EXPECT_EQ(text_after("abc", "x"), nullptr);
  std::string id = "WDC_";
  EXPECT_EQ(append_ident(id, "  WD40EFRX   68N32N0 \t", 100), "WDC_WD40EFRX_68N32N0");
  std::string cut;
  EXPECT_EQ(append_ident(cut, " Samsung SSD 870", 9), "Samsung");  // the first 9 characters, then trimmed
  char up[] = "abc-1x";
  EXPECT_STREQ(text_upper(up), "ABC-1X");
  char sp[] = " a b  c ";
  EXPECT_STREQ(strip_spaces(sp), "abc");
  std::string holder;
  text_append(holder, "mkfs");
  text_append(holder, " -q");
  EXPECT_EQ(holder, "mkfs -q");
  text_set(holder, "x");
  EXPECT_EQ(holder, "x");
}

TEST(DiskMask, ListsAndRanges) {
  struct mask_case {
    const char *text;
    uint64_t mask;
  };
  auto bits = [](std::initializer_list<int> l) {
    uint64_t m = 0;
    for (int b : l) m |= uint64_t{1} << b;
    return m;
  };
  const mask_case cases[] = {
      {"disk1,disk3-5", bits({1, 3, 4, 5})},
      {"disk3-disk5", bits({5})},  // the range is skipped, the search goes on at disk5
      {"disk3-3", 0},
      {"disk0,disk29,disk28", bits({28})},
      {"disk27-29,disk2", bits({2})},
      {"disk1-28", ~uint64_t{0} >> 36 << 1},
      {"", 0},
      {"disks,diskx,parity", 0},
      {"disk12 disk9", bits({9, 12})},
      {"disk99999999999999999999", 0},
  };
  for (const auto &c : cases) EXPECT_EQ(disk_mask(c.text), c.mask) << c.text;
}

TEST(WordLists, Intersection) {
  struct words_case {
    const char *a, *b;
    int shared;
  };
  const words_case cases[] = {
      {"alice bob", "carol bob", 1}, {"alice", "alicia", 0}, {"", "a", 0},
      {"a", "", 0},                  {"  a  b ", "b", 1},     {"ab", "a b", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(words_intersect(c.a, c.b), c.shared) << '"' << c.a << "\" \"" << c.b << '"';
  EXPECT_EQ(word_len("abc def"), 3u);
  EXPECT_STREQ(next_word("abc   def"), "def");
}

TEST(Base64, BothAlphabetsAndPadding) {
  struct b64_case {
    const char *text;
    std::string bytes;
  };
  const b64_case cases[] = {
      {"aGk=aGk=", "hihi"},
      {"aGVsbG8=", "hello"},
      {"aGVsbG8", "hel"},          // an incomplete last group is not decoded
      {"+/+/", "\xfb\xff\xbf"},
      {"-_-_", "\xfb\xff\xbf"},
      {"YQ==YWI=", "aab"},
      {"YW*j", ""},                // a stray character ends decoding
      {"YWJj=GVm", "abc"},
      {"", ""},
  };
  for (const auto &c : cases) {
    unsigned char out[64];
    size_t n = base64_decode(out, c.text, strlen(c.text));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), n), c.bytes) << c.text;
    EXPECT_EQ(out[n], '\0');
  }
}

}  // namespace
