// Helpers shared by the policy model's source units; not for other modules.
#pragma once

#include "policy/zel_config.h"
#include "policy/zel_publish.h"

// A sequence's reference on a locator (made unresolved in the KRO peer table when krod has not
// reported it). Null without memory.
zel_kro_peer *zel_tloc_ref_take(zel_ctx *ctx, zel_sequence *seq, const tloc_key_t &key);
void zel_tloc_ref_drop(zel_ctx *ctx, zel_sequence *seq, zel_kro_peer *peer);

// A tloc-list action's references on every locator of its sequence's TLOC list.
int zel_tloc_list_refs_take(zel_ctx *ctx, zel_sequence *seq, zel_action *act);
void zel_tloc_list_refs_drop(zel_ctx *ctx, zel_sequence *seq, zel_action *act);

// A new action record, its names cut to their fields.
std::unique_ptr<zel_action> zel_action_make(uint32_t code, uint32_t param_type, uint32_t tag,
                                            const zel_action_value *value);
// The copy a police action keeps of its policer's definition, with its sequence number.
void zel_action_copy_policer(zel_action *act, const zel_policer &pol, uint32_t number);
// A mirror action's copy of the mirror it names, and the mirror's reference; 22 when there is none.
int zel_action_take_mirror(zel_ctx *ctx, zel_action *act);

// A sequence's actions: the base action first (slot 0 of the block), the others in configuration order.
void zel_seq_action_insert(zel_sequence *seq, std::unique_ptr<zel_action> act);
// Removes the action with that tag; null when there is none.
std::unique_ptr<zel_action> zel_seq_action_take(zel_sequence *seq, uint32_t tag);

void zel_match_push(zel_sequence *seq, uint32_t field, uint32_t match_type, const char *list, uint32_t low,
                    uint32_t high);
// One SRC_ADDR / DST_ADDR entry per prefix of the list, of match type `match_type`.
void zel_pfx_list_fields(zel_sequence *seq, uint32_t match_type, const zel_pfx_list &list);

// Sets the changed marks of a sequence's owner (policy and vpn-list, or access list).
void zel_seq_mark_changed(zel_sequence *seq);
// Lets go of one list reference a sequence's list match took.
void zel_seq_list_unref(zel_ctx *ctx, zel_sequence *seq, uint32_t match_type, const char *name);
// Drops a sequence's matches and every list reference they took.
void zel_seq_release_matches(zel_ctx *ctx, zel_sequence *seq);
// Re-derives what one sequence takes from other objects before a rebuild: list matches from the
// lists' current entries (of `source`), mirror copies, TLOC-list references. 0 or the TLOC code.
int zel_sequence_refresh(zel_ctx *ctx, zel_sequence *seq, uint32_t source, const char *owner);
