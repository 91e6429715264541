// Change sets of cdb-sim: what changed below one subscription point between two
// data trees, encoded for the client's cdb_diff_iterate / cdb_get_modifications.
#pragma once

#include <string>

#include "platform/cdb/cdb_schema.h"

namespace cdbsim
{

// Encodes {u32 nroots, roots} of the changes at or below every instance of sub
// between old_tree and new_tree (either may be null = empty). *nroots tells
// whether the subscription is triggered at all.
std::string encode_changes(const Schema &schema, const lyd_node *old_tree, const lyd_node *new_tree,
                           const lysc_node *sub, uint32_t *nroots);

}  // namespace cdbsim
