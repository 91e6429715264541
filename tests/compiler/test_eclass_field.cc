#include "compiler/eclass.h"
#include "compiler/zel_compiler.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

// Classes of overlapping ranges and prefixes of every length are compared with a first-match search in the
// property test; here the lengths outside 0 ... 32.
TEST(Field, PrefixLengthBeyond32IsRefused)
{
    compile_context *ctx = zel_compile_context_new(nullptr);
    rule_table *rt = zel_rule_table_create("t", "a", 0, nullptr);
    rule *r = zel_rule_add(rt, "0");
    uint32_t id = zel_field_table(ctx, ZEL_CF_SRC_ADDR);
    const uint8_t net[4] = {192, 168, 1, 0};
    EXPECT_EQ(zel_field_add_prefix(ctx, r, id, net, 33), 22);
    ASSERT_EQ(zel_field_add_prefix(ctx, r, id, net, 0), 0);
    auto *t = static_cast<eclass_table *>(rbst_find(&ctx->tables, &id)->value);
    EXPECT_EQ(rbst_count(&t->boundaries), 2u);  // [0, 0xFFFFFFFF] adds only the two ends
    zel_compile_context_free(ctx);
    zel_rule_table_free(rt);
}

TEST(RuleTableDeath, NamesAreCutAndInvariantsHold)
{
    rule_table *t = zel_rule_table_create(std::string(200, 'n').c_str(), "1vpn", 0, nullptr);
    EXPECT_EQ(strlen(t->name), 127u);
    EXPECT_DEATH(zel_rule_at(t, 0), "zel_ruletable:[0-9]+: failed assertion `r != NULL'");
    zel_rule_table_free(t);
    EXPECT_DEATH(zel_rule_table_create("x", "y", 8, nullptr), "zel_ruletable:[0-9]+: failed assertion `action_data'");
}

}  // namespace
