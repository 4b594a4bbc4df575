#include "daemon/query.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "state/var.h"

namespace {

using token_list = std::vector<std::pair<std::string, std::optional<std::string>>>;

token_list split(std::string text, char sep) {
  token_list out;
  field f;
  for (char *p = text.data(); (p = next_token(p, sep, &f));) {
    out.emplace_back(f.name, f.value ? std::optional<std::string>(f.value) : std::nullopt);
    if (out.size() > 100) break;  // a splitter that stops advancing
  }
  return out;
}

TEST(NextToken, SplitsFields) {
  const std::nullopt_t none = std::nullopt;
  struct split_case {
    const char *text;
    char sep;
    token_list expected;
  };
  const split_case cases[] = {
      // field lists: decoded after splitting, so encoded separators are data
      {"a=1&b=2", '&', {{"a", "1"}, {"b", "2"}}},
      {"v=a%26b&a%3Db=c%3Dd", '&', {{"v", "a&b"}, {"a=b", "c=d"}}},
      {"x=", '&', {{"x", ""}}},
      {"x", '&', {{"x", none}}},
      {"=y", '&', {{"", "y"}}},
      {"&&a=1", '&', {{"", none}, {"", none}, {"a", "1"}}},
      {"", '&', {}},
      {" \t\r\n ", '&', {}},
      {"k=a%22b", '&', {{"k", "a\"b"}}},
      {"+a+=%2", '&', {{" a ", "%2"}}},
      // runs of blanks collapse, leading and trailing ones go
      {"  a  b  =  c \t d  &e=f", '&', {{"a b", "c d"}, {"e", "f"}}},
      {"a\tb=c\t\td", '&', {{"a b", "c d"}}},
      // CR and LF end a field; the white space after one is skipped
      {"a=1\r\nb=2", '&', {{"a", "1"}, {"b", "2"}}},
      {"a\nb=2", '&', {{"a", none}, {"b", "2"}}},
      // a quoted run is verbatim and ends the value; the character after it is skipped
      {"k=\"a  b&c\"&n=1", '&', {{"k", "a  b&c"}, {"n", "1"}}},
      {"k=\"v\"xy&n=1", '&', {{"k", "v"}, {"y", none}, {"n", "1"}}},
      {"k=x  \"q  r\" z&n=1", '&', {{"k", "x q  r"}, {"z", none}, {"n", "1"}}},
      {"k=\"v\"", '&', {{"k", "v"}}},
      {"k=\"unterminated", '&', {{"k", "unterminated"}}},
      {"k=\"", '&', {{"k", ""}}},
      {"k=\"a\r\nb=1", '&', {{"k", "a"}, {"b", "1"}}},
      // the settings reader: '#' ends a field, nothing is decoded
      {"KEY=value  # comment", '#', {{"KEY", "value"}, {"comment", none}}},
      {"KEY=\"a # b\"  # c", '#', {{"KEY", "a # b"}, {"", none}, {"c", none}}},
      {"A  B = x   y#z", '#', {{"A B", "x y"}, {"z", none}}},
      {"NAME=a%20b+c&d", '#', {{"NAME", "a%20b+c&d"}}},
      {"shareName=\"My Files\"\r\n", '#', {{"shareName", "My Files"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\" sep " + c.sep);
    EXPECT_EQ(split(c.text, c.sep), c.expected);
  }
}

TEST(UrlDecode, InPlace) {
  const std::pair<const char *, const char *> cases[] = {
      {"%2F", "/"},   {"%2f", "/"},     {"%zz", "%zz"},     {"a+b", "a b"},
      {"%4", "%4"},   {"%", "%"},       {"100%", "100%"},   {"%41%42", "AB"},
      {"%%41", "%A"}, {"%4g", "%4g"},   {"%C3%A9", "\xC3\xA9"}, {"", ""},
      {"%2B+", "+ "}, {"a%00b", "a"},
  };
  for (const auto &[in, out] : cases) {
    std::string s = in;
    url_decode(s.data());
    EXPECT_STREQ(s.c_str(), out) << in;
  }
}

TEST(CsrfToken, UpperCaseHexWithoutLeadingZeros) {
  ASSERT_EQ(make_csrf_token(), 0);
  std::string t = csrf_token();
  EXPECT_TRUE(std::regex_match(t, std::regex("0|[1-9A-F][0-9A-F]{0,15}"))) << t;
}

// --- exec_queries ---------------------------------------------------------------------

struct call {
  std::string name, value;
  bool lock_held;
  bool operator==(const call &) const = default;
};
std::vector<call> calls;
int handler_result = 7;

int record_action(const char *name, const char *value) {
  int rc = pthread_mutex_trylock(&state_lock);
  if (rc == 0) pthread_mutex_unlock(&state_lock);
  calls.push_back({name, value, rc == EBUSY});
  return handler_result;
}


class ExecQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    init_debugging("");
    ASSERT_EQ(make_csrf_token(), 0);
    register_action("testAction", record_action);
    register_action("testOther", record_action);
    clear_records(&var);
    calls.clear();
  }
  void TearDown() override { init_debugging(""); }
  // "@T" in a list stands for the daemon's token.
  static std::string with_token(std::string s) {
    for (size_t at; (at = s.find("@T")) != std::string::npos;) s.replace(at, 2, csrf_token());
    return s;
  }
};

TEST_F(ExecQueries, FieldsActionsAndTheCsrfGuard) {
  using vars = std::vector<std::pair<const char *, const char *>>;  // nullptr: not stored
  struct query_case {
    const char *list;
    int result;
    std::vector<call> calls;
    vars stored;
    std::vector<std::string> info;
  };
  const query_case cases[] = {
      // only the first action runs; a later one is neither run nor stored
      {"testAction=Start&csrf_token=@T&testOther=Stop", 7, {{"testAction", "Start", true}},
       {{"testAction", nullptr}, {"testOther", nullptr}, {"csrf_token", nullptr}}, {}},
      {"testAction=&csrf_token=@T", 7, {{"testAction", "", true}}, {}, {}},
      // an action name without a value is no action
      {"testAction&csrf_token=@T", 0, {}, {{"testAction", nullptr}}, {}},
      // refusals store the other fields all the same
      {"a=1&csrf_token=bad", -1, {}, {{"a", "1"}, {"csrf_token", nullptr}},
       {"error: wrong csrf_token"}},
      {"x=1&testAction=go", -1, {}, {{"x", "1"}, {"testAction", nullptr}},
       {"error: testAction: missing csrf_token"}},
      {"testAction=go&csrf_token=bad&y=2", -1, {}, {{"y", "2"}, {"csrf_token", nullptr}},
       {"error: testAction: wrong csrf_token"}},
      {"testAction=go&csrf_token=", -1, {}, {}, {"error: testAction: wrong csrf_token"}},
      {"testAction=go&csrf_token=@T0", -1, {}, {}, {"error: testAction: wrong csrf_token"}},
      // no action: no token needed, and a right one is deleted afterwards
      {"p=1&q=2", 0, {}, {{"p", "1"}, {"q", "2"}}, {}},
      {"csrf_token=@T&z=3", 0, {}, {{"z", "3"}, {"csrf_token", nullptr}}, {}},
      {"v=a%26b&x&=y&e=&w=%22q%22", 0, {},
       {{"v", "a&b"}, {"x", nullptr}, {"", nullptr}, {"e", ""}, {"w", "\"q\""}}, {}},
      // the last write of a name wins; the token check reads the last one
      {"n=1&n=2&csrf_token=bad&csrf_token=@T&testAction=ok", 7, {{"testAction", "ok", true}},
       {{"n", "2"}}, {}},
      // a name that decodes to contain '=' cannot be a variable of its own
      {"a%3Db=c&d=1", 0, {}, {{"a", nullptr}, {"d", "1"}},
       {"exec_queries: invalid field name: a=b"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.list);
    clear_records(&var);
    calls.clear();
    log_capture cap;
    std::string list = with_token(c.list);
    EXPECT_EQ(exec_queries(list.data()), c.result);
    EXPECT_EQ(calls, c.calls);
    for (const auto &[name, value] : c.stored) {
      const char *got = get_var("%s", name);
      if (value)
        EXPECT_STREQ(got, value) << name;
      else
        EXPECT_EQ(got, nullptr) << name;
    }
    EXPECT_EQ(get_var("csrf_token"), nullptr);
    EXPECT_EQ(cap.at(LOG_INFO), c.info);
    EXPECT_TRUE(cap.at(LOG_ERR).empty());
    // the lock is free again
    ASSERT_EQ(pthread_mutex_trylock(&state_lock), 0);
    pthread_mutex_unlock(&state_lock);
  }
}

TEST_F(ExecQueries, HandlerResultIsTheResult) {
  for (int r : {0, 1, -1}) {
    handler_result = r;
    std::string list = with_token("testAction=x&csrf_token=@T");
    EXPECT_EQ(exec_queries(list.data()), r);
  }
  handler_result = 7;
}

TEST_F(ExecQueries, DebugLinesAndTheirCounter) {
  log_capture cap;
  init_debugging("exec_queries");
  cap.clear();
  std::string list = with_token("a=1&testAction=go&testOther=no&csrf_token=@T");
  std::string raw = list;
  exec_queries(list.data());
  ASSERT_FALSE(cap.all().empty());
  std::smatch m;
  std::string first = cap.all()[0].text;
  ASSERT_TRUE(std::regex_match(first, m, std::regex(R"(debug: exec_queries: req \((\d+)\): (.*))")))
      << first;
  int n = std::stoi(m[1]);
  EXPECT_EQ(m[2], raw);
  std::string tok = csrf_token();
  EXPECT_EQ(cap.all(), (std::vector<logged_line>{
                           {LOG_DEBUG, first},
                           {LOG_DEBUG, "debug: exec_queries: put_var name: \"a\" value: \"1\""},
                           {LOG_DEBUG, "debug: exec_queries: submit: \"testAction\" arg: \"go\""},
                           {LOG_DEBUG, "debug: exec_queries: ignoring submit: testOther"},
                           {LOG_DEBUG, "debug: exec_queries: put_var name: \"csrf_token\" value: \"" +
                                           tok + "\""},
                       }));

  // lists run while the function is not selected do not advance the counter
  init_debugging("put_record");
  std::string quiet = "b=2";
  exec_queries(quiet.data());
  init_debugging("exec_queries");
  cap.clear();
  std::string again = "c=3";
  exec_queries(again.data());
  ASSERT_FALSE(cap.all().empty());
  EXPECT_EQ(cap.all()[0].text, "debug: exec_queries: req (" + std::to_string(n + 1) + "): c=3");
}

}  // namespace
