// Local users: the accounts that may reach SMB shares.
#pragma once

// Rebuilds the user list in var (userCount; userName.<n>, userDesc.<n>, userPasswd.<n>)
// from the account files: root and the accounts from uid 1000 on, in file order.
void read_users();
// The same from other account files.
void read_users_from(const char *passwd_path, const char *shadow_path);
