// Translation of the policy model into the compiler's rule tables.
#pragma once

#include <cstdint>
#include <span>

#include "policy/zel_policy_model.h"

struct rule;
struct rule_table;

// Matches and actions of one sequence into rule r of the compilation in progress.
int zel_compile_sequence(zel_ctx *ctx, rule *r, zel_sequence *seq);

// Re-derives what a vpn-list's sequences take from other objects before a rebuild: list matches from
// the lists' current entries, mirror copies, TLOC-list references, the default action's SLA class.
// 0, or the code of a TLOC reference that could not be taken.
int zel_policy_refresh(zel_ctx *ctx, const zel_policy *policy, zel_policy_vpn_list *pvl);

// The rule table of a vpn-list: one rule per sequence in ascending order, the default action last.
// 0, or 12 (logged, compile context reset) when a sequence cannot be built.
int zel_policy_rule_table(zel_ctx *ctx, const zel_policy *policy, zel_policy_vpn_list *pvl, rule_table **out);

// The rule of rt a packet matches first, the packet given as a value per compiler field (index 0 unused):
// a rule matches when, on every field it places ranges on, the value lies in one of them. nullptr when
// none matches (the default action applies).
const rule *zel_rule_table_first_match(const rule_table *rt, std::span<const uint32_t, ZEL_CF_LAST + 1> values);
