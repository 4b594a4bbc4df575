// Script fragments written into the current connection while a command runs. The web GUI
// pages that the request served define the JavaScript functions these call.
#pragma once

// Each returns what write(2) returned: the byte count, or -1.

// document.title; writes nothing (and returns 0) when title is nullptr.
int write_title(const char *title);
int replace_name_query(const char *text);
// The port is left out when it is the scheme's own (http 80, https 443).
int replace_origin(const char *scheme, const char *host, const char *port);
// One line of output for the page's log, escaped for a JavaScript string. -1 without
// writing when there is no current connection.
int write_log(const char *line);
