// The start-up sequence, from the bound socket to the first accept.
#pragma once

// Runs once, in a fixed order: banner, limits and initial status, boot hooks, safe-mode
// and unclean-shutdown detection, settings, users and the boot device, the detach into
// the background, then under the state lock the first state files and the web server.
void content_init();

// Starts ("start") or signals ("reload", …) the web server and its companions. Returns 0.
int signal_nginx(const char *action);
