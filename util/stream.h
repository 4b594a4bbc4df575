// Line streams over a command's output or a file.
//
// Text beginning with "exec " is run by the shell with its standard output readable (the
// shell replaces itself with the command, so closing the stream returns the command's own
// exit status); any other text names a file to read. Callers call stream_getline until it
// returns -1 and look at `line` after each call; the buffer belongs to the stream.
#pragma once

#include <sys/types.h>

#include <cstdio>

struct stream {
  FILE *file = nullptr;
  char *line = nullptr;  // the last line read, trailing white space removed
  size_t size = 0;       // allocated size of `line`
  pid_t pid = -1;        // the command's shell, or -1 for a file
};

stream *stream_open(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, but logs the text (without "exec ") as an informational line instead of a
// debug line: for tools whose run belongs in the log.
stream *stream_open_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
ssize_t stream_getline(stream *s);
// Like stream_getline, skipping empty lines and logging each line returned.
ssize_t stream_getline_log(stream *s);
// Drains and closes; the command's exit status, 0 for a file, -1 (EINVAL) without a stream.
int stream_close(stream *s);

// getline(3), then trailing white space removed.
ssize_t getline_trim(char **buffer, size_t *size, FILE *f);
