// Start-up of the request front end, run once by main after the socket is bound.
#pragma once

// Makes the CSRF token and registers the built-in actions, then runs the start-up sequence, which detaches the daemon into
// the background. The tables are static objects, alive before main. Returns 0; a failure
// to make the token ends the process.
int init_dyncntnt();
