// Pool configuration: names of pools and their subpools.
//
// A subpool is named by its main pool's name, "~" and one of five kinds, and sits in the
// slots right after its main pool's members.
#pragma once

// The subpool kind of a name (the text after its last "~" when it is one of "special",
// "logs", "dedup", "cache", "spares"), or nullptr for a main pool's name or none.
const char *subpool_kind(const char *name);
// The kind of the subpool of `pool` that slot holds, or nullptr when the slot is outside
// 1 .. slot_count - 1, has no diskIdent, or holds anything else.
const char *next_subpool_kind(int slot, const char *pool);
