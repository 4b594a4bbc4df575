// Publication of state files to the web server's pub/sub endpoint, and events.
//
// Every file moved into the state directory is posted whole to the channel named after it
// (var.ini -> var), so open pages update without polling; the channel keeps only the newest
// message. Events hand a name to the event hook, whose output lines become the progress text.
#pragma once

#include <sys/types.h>

inline constexpr char nginx_socket[] = "/var/run/nginx.socket";
inline constexpr char event_hook[] = "/usr/local/sbin/orvan_event";

// Posts dir/name to its channel. 0, or -1 (only a debug line when the web server is down).
int publish(const char *dir, const char *name);
// Publishes every state file of the directory (names ending in ".ini"), for a web server
// that just started and holds no channel yet.
void publish_all(const char *dir);
// The publisher thread: publishes every file moved into the state directory.
void *pinotify_publish(void *);
// Runs the event hook with the state lock released; each line it prints becomes the progress
// text. Call with the lock held; it is held again on return. Returns 0.
int post_event(const char *name);

// Write all of len bytes; the last write's result.
ssize_t do_send(int fd, const char *buf, size_t len);
ssize_t do_sendfile(int fd, int file, size_t len);
