#include "shares/users.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "state/var.h"
#include "temp_dir.h"

namespace {

TEST(Users, RootAndRegularAccountsWithTheirPasswordFlags) {
  temp_dir dir;
  std::string passwd = dir.file("passwd"), shadow = dir.file("shadow");
  std::string real = crypt("secret", "$6$saltsalt$");
  std::string empty = crypt("", "$6$saltsalt$");
  std::ofstream(passwd) << "root:x:0:0:Console and webGui login account:/root:/bin/bash\n"
                           "daemon:x:2:2:daemon:/sbin:/bin/false\n"
                           "nobody:x:99:100:nobody:/:/bin/false\n"
                           "alice:x:1000:100:Alice A.:/:/bin/false\n"
                           "bob:x:1001:100::/:/bin/false\n"
                           "carol:x:1002:100:Carol:/:/bin/false\n"
                           "dave:x:1003:100:Dave:/:/bin/false\n"
                           "erin:x:65534:100:Erin:/:/bin/false\n";
  std::ofstream(shadow) << "root:" << real << ":19000:0:99999:7:::\n"
                        << "daemon:*:19000:0:99999:7:::\n"
                        << "alice:" << real << ":19000:0:99999:7:::\n"
                        << "bob:" << empty << ":19000:0:99999:7:::\n"
                        << "carol:!:19000:0:99999:7:::\n"
                        << "erin::19000:0:99999:7:::\n";  // dave has no shadow entry
  read_users_from(passwd.c_str(), shadow.c_str());
  struct expected_user {
    const char *name, *desc, *passwd;
  };
  const expected_user users[] = {
      {"root", "Console and webGui login account", "yes"}, {"alice", "Alice A.", "yes"},
      {"bob", "", "no"}, {"carol", "Carol", "no"}, {"dave", "Dave", "no"}, {"erin", "Erin", "no"},
  };
  ASSERT_STREQ(get_var("userCount"), "6");
  for (int i = 0; i < 6; i++) {
    SCOPED_TRACE(users[i].name);
    EXPECT_STREQ(get_var("userName.%i", i), users[i].name);
    EXPECT_STREQ(get_var("userDesc.%i", i), users[i].desc);
    EXPECT_STREQ(get_var("userPasswd.%i", i), users[i].passwd);
  }

  read_users_from(dir.file("missing").c_str(), shadow.c_str());
  EXPECT_STREQ(get_var("userCount"), "0");
}

}  // namespace
