// Pool configuration. See pool_config.h.
#include "pools/pool_config.h"

#include <cstring>

#include "state/var.h"

namespace {

constexpr const char *subpool_kinds[] = {"special", "logs", "dedup", "cache", "spares"};

}  // namespace

const char *subpool_kind(const char *name) {
  if (!name) return nullptr;
  const char *tilde = strrchr(name, '~');
  if (!tilde) return nullptr;
  for (const char *kind : subpool_kinds)
    if (strcmp(tilde + 1, kind) == 0) return kind;
  return nullptr;
}

const char *next_subpool_kind(int slot, const char *pool) {
  if (slot <= 0 || slot >= slot_count) return nullptr;
  const char *ident = get_var("diskIdent.%i", slot);
  if (!ident) return nullptr;
  size_t len = strlen(pool);
  if (strncmp(ident, pool, len) != 0 || ident[len] != '~') return nullptr;
  // The kind must be all that follows: "pool~a~cache" is no subpool of "pool".
  const char *kind = subpool_kind(ident);
  return kind && strcmp(ident + len + 1, kind) == 0 ? kind : nullptr;
}
