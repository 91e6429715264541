// Translation of the policy model into the compiler's rule tables.
#pragma once

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
