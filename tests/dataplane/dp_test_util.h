// Compiling small rule tables through whatever program allocator is installed.
#pragma once

#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "platform/fp/zel_fpinterp.h"

#include <span>
#include <string>
#include <vector>

namespace dptest
{

// One rule: a protocol range (lo == hi for one value) and its encoded actions.
struct rule_spec {
    uint32_t proto_lo, proto_hi;
    zel_action_data action;
};

// Rules in order, default action "reject". The image (nullptr when there was no program memory) and
// the filter slot it was published in.
struct compiled {
    void *image = nullptr;
    int32_t slot = -1;
    uint32_t size = 0;
    int rc = 0;
};

inline compiled compile_rules(const char *name, std::span<const rule_spec> rules)
{
    compiled out;
    compile_context *ctx = zel_compile_context_new(zel_dp_program_memory());
    zel_action_data def{};
    zel_default_action(ZEL_ACT_REJECT, 0, 0, false, 0, &def);
    rule_table *rt = zel_rule_table_create(name, "1", ZEL_ACTION_DATA_SIZE, &def);
    for (size_t i = 0; i < rules.size(); i++) {
        rule *r = zel_rule_add(rt, std::to_string(10 * (i + 1)).c_str());
        zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, &rules[i].action);
        zel_rule_add_range(ctx, r, ZEL_CF_MATCH_ANY, ZEL_FP_MATCH_ANY_VALUE, ZEL_FP_MATCH_ANY_VALUE);
        zel_rule_add_range(ctx, r, ZEL_CF_PROTOCOL, rules[i].proto_lo, rules[i].proto_hi);
    }
    out.rc = zel_compile(ctx, rt, &out.image, &out.size);
    out.slot = out.image ? zel_compile_filter_index(ctx) : -1;
    zel_compile_context_reset(ctx);
    zel_rule_table_free(rt);
    zel_compile_context_free(ctx);
    return out;
}

// The encoded block of one sequence's actions.
inline zel_action_data encode(std::span<const zel_action_spec> specs, uint64_t clock_hz = 1000000000)
{
    zel_action_data d{};
    zel_compile_sequence_actions(specs, clock_hz, &d);
    return d;
}

inline zel_action_spec count_spec(const char *name)
{
    zel_action_spec s;
    s.code = s.param_type = ZEL_ACT_COUNT;
    s.name = name;
    return s;
}

inline zel_action_spec police_spec(const char *name, int32_t seq, uint64_t rate_bps, uint64_t burst_bytes)
{
    zel_action_spec s;
    s.code = s.param_type = ZEL_ACT_POLICE;
    s.name = name;
    s.seq = seq;
    s.rate_bps = rate_bps;
    s.burst_bytes = burst_bytes;
    return s;
}

}  // namespace dptest
