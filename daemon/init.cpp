// init_dyncntnt: everything between binding the socket and the first accept.
//
// The daemon detaches only after its socket exists, so a client that connects during
// start-up waits in the listen backlog instead of finding no socket.
#include "daemon/init.h"

#include <cstdio>
#include <cstdlib>

#include "daemon/actions.h"
#include "daemon/query.h"
#include "daemon/startup.h"
#include "util/log.h"

int init_dyncntnt() {
  // Without a secret token every action would be open to any page the browser visits.
  if (make_csrf_token() < 0) {
    ERR("getrandom");
    exit(1);
  }
  DBG("csrf_token: %s", csrf_token());
  register_builtin_actions();
  content_init();
  return 0;
}
