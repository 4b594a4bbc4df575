// Small text, path and parsing utilities whose rules show in the daemon's behaviour.
#pragma once

#include <cstdarg>

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Quotes `text` for use between single quotes in a shell command line: each ' becomes
// '\''. Text without a quote is returned as it is (the same pointer); a quoted copy lives
// in a ring of 128 slots and stays valid for the next 127 calls. Use under the state lock.
const char *shell_quote(const char *text);

// 1 when stat(2) succeeds and the file matches `mask`: the file type in the mask's type
// bits (0x8000 a regular file) and every permission bit of the mask (0x8040: a regular
// file its owner may execute).
int stat_mode(const char *path, unsigned mask);
// The same for the link itself (lstat(2)).
int lstat_mode(const char *path, unsigned mask);
// Directory-scan filter: names not beginning with ".".
int not_hidden(const struct dirent *entry);
// Reads the link dir/name into buf (at most cap - 1 bytes, NUL-terminated); length or -1.
ssize_t readlink_at(const char *dir, const char *name, char *buf, size_t cap);

// The position just behind the first occurrence of `word`, or nullptr.
const char *text_after(const char *text, const char *word);
// Appends the first `max` characters of `text`, trimmed, with inner white space runs
// replaced by one "_" (device model and serial strings become identifier parts).
std::string &append_ident(std::string &dest, const char *text, size_t max);
void text_set(std::string &holder, const char *text);
void text_append(std::string &holder, const char *text);
char *text_upper(char *text);
char *strip_spaces(char *text);

// The data slots (bits 1 to 28) named in a list such as "disk1,disk3-5".
uint64_t disk_mask(const char *text);

// Space-separated word lists.
size_t word_len(const char *w);
int word_eq(const char *a, const char *b);
const char *next_word(const char *w);
// 1 when the two lists share a word; 0 when either is empty.
int words_intersect(const char *a, const char *b);

// Decodes standard and URL-safe Base64 into `out` (room for 3/4 of len + 1 bytes);
// NUL-terminates and returns the number of bytes written.
size_t base64_decode(unsigned char *out, const char *text, size_t len);

// printf into a string; empty when the formatting fails.
std::string vformat(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
