// Field lists, the CSRF token and the current connection.
//
// A field list is the query string or urlencoded body of a request: name=value fields
// joined by '&'. exec_queries stores each field as a variable and runs the first field that
// names a registered action, provided the list carries the daemon's CSRF token. The field
// splitter next_token is shared with the settings reader, which splits its lines at '#'.
#pragma once

#include <atomic>

// The socket of the request being served, or -1. Set by the accept loop, written into by
// the script writers from any thread that holds the state lock; a command that hands the
// connection to a thread or child sets it to -1 so the accept loop leaves it open.
extern std::atomic<int> current_connection;

struct field {
  char *name;
  char *value;  // nullptr when the field is a name alone (no '=')
};

// Splits the field at the front of `text` in place: name and value are NUL-terminated
// inside the text, blanks collapsed, a double-quoted part of the value taken verbatim.
// With sep '&' name and value are URL-decoded afterwards. Returns where the next field
// starts, or nullptr when nothing but white space was left (no field).
char *next_token(char *text, char sep, field *f);

// In place: '+' becomes a space, %XX (either case) becomes that byte, any other '%' stays.
void url_decode(char *s);

// Runs a field list (modified in place) under the state lock. Returns the action's result,
// 0 when no action ran, -1 when the CSRF check refused.
int exec_queries(char *list);

// Makes the per-start token from 8 bytes of getrandom(2). 0, or -1 when the kernel gave
// none (the caller cannot guard actions without one).
int make_csrf_token();
// The token as "%llX" text; empty until make_csrf_token has run.
const char *csrf_token();
