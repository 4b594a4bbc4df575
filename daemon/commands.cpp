// The command table and its dispatcher. See commands.h.
#include "daemon/commands.h"

#include <unistd.h>

#include <cstring>

#include "array/status.h"
#include "devices/inventory.h"
#include "devices/luks.h"
#include "state/ini.h"
#include "state/var.h"
#include "util/log.h"

namespace {

// Commands whose subsystem this build does not carry yet refuse, naming themselves.
int unsupported(const char *name) {
  INFO("%s: not supported yet", name);
  return -1;
}

#define UNSUPPORTED(cmd) \
  [](const char *) { return unsupported(cmd); }

constexpr command commands[] = {
    {"cmdStatus", UNSUPPORTED("cmdStatus")},
    {"cmdInit", UNSUPPORTED("cmdInit")},
    {"cmdStart", UNSUPPORTED("cmdStart")},
    {"cmdStop", UNSUPPORTED("cmdStop")},
    {"cmdFormat", UNSUPPORTED("cmdFormat")},
    {"cmdCopy", UNSUPPORTED("cmdCopy")},
    {"cmdNoCopy", UNSUPPORTED("cmdNoCopy")},
    {"cmdSpinupAll", UNSUPPORTED("cmdSpinupAll")},
    {"cmdSpindownAll", UNSUPPORTED("cmdSpindownAll")},
    {"cmdSpinup", UNSUPPORTED("cmdSpinup")},
    {"cmdSpindown", UNSUPPORTED("cmdSpindown")},
    {"cmdHotplug", cmdHotplug},
    {"cmdWipefs", UNSUPPORTED("cmdWipefs")},
    {"cmdCryptsetup", cmdCryptsetup},
    {"cmdCheck", UNSUPPORTED("cmdCheck")},
    {"cmdNoCheck", UNSUPPORTED("cmdNoCheck")},
    {"cmdCheckCorrect", UNSUPPORTED("cmdCheckCorrect")},
    {"cmdCheckNoCorrect", UNSUPPORTED("cmdCheckNoCorrect")},
    {"cmdCheckSync", UNSUPPORTED("cmdCheckSync")},
    {"cmdCheckClear", UNSUPPORTED("cmdCheckClear")},
    {"cmdCheckResume", UNSUPPORTED("cmdCheckResume")},
    {"cmdCheckPause", UNSUPPORTED("cmdCheckPause")},
    {"cmdCheckCancel", UNSUPPORTED("cmdCheckCancel")},
    {"clearStatistics", UNSUPPORTED("clearStatistics")},
    {"changeNames", UNSUPPORTED("changeNames")},
    {"changePorts", UNSUPPORTED("changePorts")},
    {"changeSlots", UNSUPPORTED("changeSlots")},
    {"changeShare", UNSUPPORTED("changeShare")},
    {"changeDisk", UNSUPPORTED("changeDisk")},
    {"changeDevice", UNSUPPORTED("changeDevice")},
    {"changeShareSecurity", UNSUPPORTED("changeShareSecurity")},
    {"changeShareSecurityNFS", UNSUPPORTED("changeShareSecurityNFS")},
    {"changeShareAccess", UNSUPPORTED("changeShareAccess")},
    {"changeShareAccessNFS", UNSUPPORTED("changeShareAccessNFS")},
    {"cmdUserEdit", UNSUPPORTED("cmdUserEdit")},
    {"cmdUserAdd", UNSUPPORTED("cmdUserAdd")},
    {"cmdUserApply", UNSUPPORTED("cmdUserApply")},
    {"cmdUserChange", UNSUPPORTED("cmdUserChange")},
    {"cmdUserDelete", UNSUPPORTED("cmdUserDelete")},
    {"cmdEditShare", UNSUPPORTED("cmdEditShare")},
    {"cmdShareAdd", UNSUPPORTED("cmdShareAdd")},
    {"cmdShareDelete", UNSUPPORTED("cmdShareDelete")},
    {"cmdShareApply", UNSUPPORTED("cmdShareApply")},
    {"cmdJoinDomain", UNSUPPORTED("cmdJoinDomain")},
    {"cmdLeaveDomain", UNSUPPORTED("cmdLeaveDomain")},
    {"setDateTime", UNSUPPORTED("setDateTime")},
    {"changeShuttle", UNSUPPORTED("changeShuttle")},
    {"cmdStartShuttle", UNSUPPORTED("cmdStartShuttle")},
    {"cmdStopShuttle", UNSUPPORTED("cmdStopShuttle")},
    {"debug", init_debugging},
};

#undef UNSUPPORTED

}  // namespace

const command *find_command(const char *name) {
  for (const command &c : commands)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

void (*refresh_after_command)() = [] {
  get_status(0);
  refresh_state_files(nullptr);
};

void register_commands() {
  for (const command &c : commands) register_action(c.name, orvan_cmd);
}

int orvan_cmd(const char *name, const char *value) {
  const command *c = find_command(name);
  if (!c) return -1;
  DBG("%s\n", name);
  int rc = c->routine(value);
  if (rc == 0) {
    put_var("fsProgress=");
    refresh_after_command();
    return 0;
  }
  if (rc == 1) {
    sleep(2);
    return 0;
  }
  return rc;
}
