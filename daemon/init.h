// Start-up of the request front end, run once by main after the socket is bound.
#pragma once

// Makes the CSRF token and detaches into the background. The tables are static objects,
// alive before main; the built-in actions and the start-up sequence join here later.
// Returns 0; a failure to make the token or to detach ends the process.
int init_dyncntnt();
