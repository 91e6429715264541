// A daemon context with the policy model, a compile context and bounded program memory on the heap.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "policy/zel_config.h"

namespace policy_test
{

inline constexpr uint32_t kSlots = 8;

struct PolicyEnv {
    zel_ctx ctx{};
    zel_prog_heap *heap = nullptr;
    program_allocator program_memory{};

    explicit PolicyEnv(uint32_t blocks = 4096)
    {
        heap = zel_prog_heap_new(blocks, kSlots);
        program_memory = zel_prog_heap_allocator(heap);
        ctx.compile.program_memory = &program_memory;
        zel_kro_table_init(&ctx);
        EXPECT_EQ(zel_policy_db_init(&ctx, kSlots), 0);
        EXPECT_EQ(zel_fwd_class_init(&ctx), 0);
        EXPECT_EQ(zel_sla_class_init(&ctx), 0);
        ctx.compile.compiler = zel_compile_context_new(&program_memory);
    }
    ~PolicyEnv()
    {
        zel_policy_db_free(&ctx);
        zel_kro_table_prune(&ctx);
        zel_compile_context_free(ctx.compile.compiler);
        zel_prog_heap_delete(heap);
    }

    zel_policy_db &db() { return *ctx.policy_db; }

    // Forgets every policy's and vpn-list's marks, as a finished commit pass does.
    void clear_marks()
    {
        for (auto &[k, p] : db().policies) {
            p->added = p->changed = 0;
            for (auto &[n, pvl] : p->vpn_lists)
                pvl->changed = 0;
        }
    }

    // A controller vpn-list with ranges, and a policy of `type` applied to it with accept.
    void policy_on(uint32_t type, const char *policy, const char *vpn_list,
                   std::vector<std::pair<uint64_t, uint64_t>> ranges = {{10, 10}})
    {
        if (!zel_config_vpn_list_find(&ctx, vpn_list)) {
            ASSERT_EQ(zel_config_vpn_list_add(&ctx, vpn_list), 0);
            for (auto [lo, hi] : ranges)
                ASSERT_EQ(zel_config_vpn_range_add(&ctx, vpn_list, lo, hi), 0);
        }
        zel_policy *p;
        if (zel_config_policy_find(&ctx, type, policy, &p) != 0) {
            ASSERT_EQ(zel_config_policy_add(&ctx, type, policy), 0);
        }
        ASSERT_EQ(zel_config_policy_vpn_list_add(&ctx, type, policy, vpn_list, ZEL_ACT_ACCEPT, nullptr), 0);
    }

    zel_policy_vpn_list *pvl(uint32_t type, const char *policy, const char *vpn_list)
    {
        zel_policy_vpn_list *out = nullptr;
        zel_config_policy_vpn_list_find(&ctx, type, policy, vpn_list, &out);
        return out;
    }

    void pfx_list(const char *name, std::vector<std::pair<const char *, uint32_t>> prefixes)
    {
        ASSERT_EQ(zel_config_pfx_list_add(&ctx, name, ZEL_LIST_SOURCE_CONTROLLER), 0);
        for (auto [addr, len] : prefixes)
            ASSERT_EQ(zel_config_pfx_list_prefix_add(&ctx, name, ZEL_LIST_SOURCE_CONTROLLER, prefix(addr, len)), 0);
    }

    static zel_prefix prefix(const char *addr, uint32_t len)
    {
        zel_prefix p{};
        inet_pton(AF_INET, addr, p.addr);
        p.len = len;
        return p;
    }

    static zel_match_value list_value(const char *name, uint32_t type = ZEL_LIST_SOURCE_CONTROLLER)
    {
        zel_match_value v{};
        v.name = name;
        v.list_type = type;
        return v;
    }
};

inline zel_action_value named(const char *field_name, bool sla = false)
{
    zel_action_value v{};
    if (sla)
        snprintf(v.sla_name, sizeof v.sla_name, "%s", field_name);
    else
        snprintf(v.fc_name, sizeof v.fc_name, "%s", field_name);
    return v;
}

inline uint32_t be32(const uint8_t *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace policy_test
