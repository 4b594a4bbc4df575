// Small text utilities. See text.h.
#include "util/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int quote_ring_size = 128;
std::string quote_ring[quote_ring_size];
unsigned quote_counter = 0;

// A mask asks for a file type when it carries type bits; the type must then match
// exactly (a socket, 0xC000, is not a regular file, 0x8000, although it has that bit).
int mode_matches(mode_t mode, unsigned mask) {
  unsigned type = mask & S_IFMT;
  if (type && (mode & S_IFMT) != type) return 0;
  unsigned perms = mask & ~static_cast<unsigned>(S_IFMT);
  return (mode & perms) == perms;
}

long read_number(const char *&p) {
  long n = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    if (n < 1000) n = n * 10 + (*p - '0');  // anything this large is out of range anyway
    p++;
  }
  return n;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

}  // namespace

const char *shell_quote(const char *text) {
  if (!strchr(text, '\'')) return text;
  std::string &slot = quote_ring[quote_counter++ % quote_ring_size];
  slot.clear();
  for (const char *p = text; *p; p++) {
    if (*p == '\'')
      slot += "'\\''";
    else
      slot += *p;
  }
  return slot.c_str();
}

int stat_mode(const char *path, unsigned mask) {
  struct stat st;
  return stat(path, &st) == 0 && mode_matches(st.st_mode, mask);
}

int lstat_mode(const char *path, unsigned mask) {
  struct stat st;
  return lstat(path, &st) == 0 && mode_matches(st.st_mode, mask);
}

int not_hidden(const struct dirent *entry) { return entry->d_name[0] != '.'; }

ssize_t readlink_at(const char *dir, const char *name, char *buf, size_t cap) {
  if (cap == 0) return -1;
  std::string path = std::string(dir) + "/" + name;
  ssize_t n = readlink(path.c_str(), buf, cap - 1);
  if (n < 0) return -1;
  buf[n] = '\0';
  return n;
}

const char *text_after(const char *text, const char *word) {
  const char *p = strstr(text, word);
  return p ? p + strlen(word) : nullptr;
}

std::string &append_ident(std::string &dest, const char *text, size_t max) {
  size_t len = strnlen(text, max);
  size_t start = 0;
  while (start < len && isspace(static_cast<unsigned char>(text[start]))) start++;
  while (len > start && isspace(static_cast<unsigned char>(text[len - 1]))) len--;
  bool in_space = false;
  for (size_t i = start; i < len; i++) {
    if (isspace(static_cast<unsigned char>(text[i]))) {
      if (!in_space) dest += '_';
      in_space = true;
    } else {
      dest += text[i];
      in_space = false;
    }
  }
  return dest;
}

void text_set(std::string &holder, const char *text) { holder = text; }

void text_append(std::string &holder, const char *text) { holder += text; }

char *text_upper(char *text) {
  for (char *p = text; *p; p++) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  return text;
}

char *strip_spaces(char *text) {
  char *out = text;
  for (const char *p = text; *p; p++)
    if (*p != ' ') *out++ = *p;
  *out = '\0';
  return text;
}

uint64_t disk_mask(const char *text) {
  uint64_t mask = 0;
  const char *p = text;
  while ((p = strstr(p, "disk")) != nullptr) {
    p += 4;
    if (!isdigit(static_cast<unsigned char>(*p))) continue;
    long n = read_number(p);
    long m = n;
    bool range_ok = true;
    if (*p == '-') {
      p++;
      m = read_number(p);  // "disk3-disk5" reads 0 here and is skipped
      range_ok = n < m;
    }
    if (n < 1 || n > 28 || m > 28 || !range_ok) continue;
    for (long i = n; i <= m; i++) mask |= uint64_t{1} << i;
  }
  return mask;
}

size_t word_len(const char *w) {
  size_t n = 0;
  while (w[n] && w[n] != ' ') n++;
  return n;
}

int word_eq(const char *a, const char *b) {
  size_t n = word_len(a);
  return n == word_len(b) && strncmp(a, b, n) == 0;
}

const char *next_word(const char *w) {
  w += word_len(w);
  while (*w == ' ') w++;
  return w;
}

int words_intersect(const char *a, const char *b) {
  for (const char *x = a; *(x += strspn(x, " ")); x = next_word(x))
    for (const char *y = b; *(y += strspn(y, " ")); y = next_word(y))
      if (word_eq(x, y)) return 1;
  return 0;
}

size_t base64_decode(unsigned char *out, const char *text, size_t len) {
  size_t written = 0;
  for (size_t i = 0; i + 4 <= len && text[i] != '\0'; i += 4) {
    int a = base64_value(text[i]);
    int b = base64_value(text[i + 1]);
    char c3 = text[i + 2], c4 = text[i + 3];
    int c = c3 == '=' ? 0 : base64_value(c3);
    int d = c4 == '=' ? 0 : base64_value(c4);
    if (a < 0 || b < 0 || c < 0 || d < 0) break;
    out[written++] = static_cast<unsigned char>(a << 2 | b >> 4);
    if (c3 != '=') out[written++] = static_cast<unsigned char>((b & 15) << 4 | c >> 2);
    if (c3 != '=' && c4 != '=') out[written++] = static_cast<unsigned char>((c & 3) << 6 | d);
  }
  out[written] = '\0';
  return written;
}

std::string vformat(const char *fmt, va_list ap) {
  char *s = nullptr;
  int n = vasprintf(&s, fmt, ap);
  if (n < 0) return {};
  std::string out(s, static_cast<size_t>(n));
  free(s);
  return out;
}
