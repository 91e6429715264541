// Trap groups: the module/level table, the two bitmaps and the variable bindings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cfgd/cfgd_internal.h"
#include "cfgd/cfgd_trap.h"
#include "cfgd/cfgd_util.h"
#include "yang/zel_yang_hashes.h"

namespace
{

class Trap : public testing::Test
{
protected:
    void SetUp() override
    {
        cfgd_trap_init();
        ASSERT_EQ(group_op("g1", MOP_CREATED), 0);
    }
    void TearDown() override { cfgd_trap_deinit(); }

    static int group_op(const char *name, cdb_iter_op op)
    {
        confd_value_t key;
        CONFD_SET_BUF(&key, name, strlen(name));
        return cfgd_config_trap_group(nullptr, op, 1, &key, 0, nullptr);
    }
    // Sets the levels of one module selector of g1.
    static int enable(int module, std::initializer_list<int> levels, cdb_iter_op op = MOP_CREATED)
    {
        confd_value_t keys[2];
        CONFD_SET_BUF(&keys[0], "g1", 2);
        CONFD_SET_ENUM_VALUE(&keys[1], module);
        confd_value_t list[3];
        unsigned n = 0;
        for (int l : levels) {
            CONFD_SET_ENUM_VALUE(&list[n], l);
            n++;
        }
        confd_tag_value_t v;
        CONFD_SET_TAG_TAG(&v, zel_tag_snmp_level, 0);
        if (n > 0)
            CONFD_SET_LIST(&v.v, list, n);
        else
            v.v.type = C_NOEXISTS;
        return cfgd_config_trap_group_enable(nullptr, op, 2, keys, 1, &v);
    }
    static std::string enabled()
    {
        std::string s;
        for (uint32_t i = 1; i <= CFGD_TRAP_MAX_INDEX; i++)
            if (cfgd_trap_is_enabled("g1", i))
                s += std::to_string(i) + " ";
        return s;
    }
};

TEST_F(Trap, LevelsPerModuleSelector)
{
    EXPECT_EQ(enabled(), "");
    ASSERT_EQ(enable(5, {1}), 0);
    EXPECT_EQ(enabled(), "6 7 8 9 10 11 12 13 14 15 16 17 18 19 ");
    ASSERT_EQ(enable(5, {}, MOP_DELETED), 0);
    EXPECT_EQ(enabled(), "");

    ASSERT_EQ(enable(9, {0, 2}), 0);
    EXPECT_EQ(enabled(), "1 48 49 50 51 52 53 55 97 ");
    ASSERT_EQ(enable(9, {2}, MOP_MODIFIED), 0);
    EXPECT_EQ(enabled(), "1 48 49 50 51 52 53 55 ");
}

TEST_F(Trap, AllModulesSelectorKeepsItsOwnBitmap)
{
    ASSERT_EQ(enable(3, {0}), 0);
    ASSERT_EQ(enable(0, {0}), 0);
    EXPECT_EQ(enabled(), "29 30 97 ");
    // Clearing module 3 leaves 29 and 30 enabled through the all-modules bitmap.
    ASSERT_EQ(enable(3, {}, MOP_MODIFIED), 0);
    EXPECT_EQ(enabled(), "29 30 97 ");
    ASSERT_EQ(enable(0, {}, MOP_DELETED), 0);
    EXPECT_EQ(enabled(), "");
}

TEST_F(Trap, GroupsAndBadInput)
{
    EXPECT_EQ(enable(5, {1}), 0);
    confd_value_t key;
    CONFD_SET_BUF(&key, "nope", 4);
    confd_value_t keys[2] = {key, key};
    CONFD_SET_ENUM_VALUE(&keys[1], 1);
    EXPECT_EQ(cfgd_config_trap_group_enable(nullptr, MOP_CREATED, 2, keys, 0, nullptr), 1);
    EXPECT_EQ(cfgd_config_trap_group_enable(nullptr, MOP_CREATED, 1, keys, 0, nullptr), 1);
    EXPECT_EQ(cfgd_config_trap_group(nullptr, MOP_CREATED, 2, keys, 0, nullptr), 1);
    EXPECT_FALSE(cfgd_trap_is_enabled("g1", 0));
    EXPECT_FALSE(cfgd_trap_is_enabled("g1", 98));
    EXPECT_EQ(group_op("g1", MOP_DELETED), 0);
    EXPECT_FALSE(cfgd_trap_find_tag("g1"));
    EXPECT_EQ(cfgd_trap_group_count(), 0u);
}

TEST_F(Trap, BindingsSkipHeadFieldsAndConvertAddresses)
{
    cfgd_notif_item item{};
    CONFD_SET_TAG_XMLBEGIN(&item.values[0], zel_tag_policy_policy_status, zel_ns_policy);
    CONFD_SET_TAG_ENUM_VALUE(&item.values[1], zel_tag_policy_severity_level, 2);
    CONFD_SET_TAG_STR(&item.values[2], zel_tag_policy_host_name, "h");
    in_addr a{htonl(0xc0000201)};
    CONFD_SET_TAG_IPV4(&item.values[3], zel_tag_policy_system_ip, a);
    CONFD_SET_TAG_IPV4(&item.values[4], zel_tag_policy_system_ip, a);
    CONFD_SET_TAG_STR(&item.values[5], zel_tag_policy_policy_name, "p1");
    CONFD_SET_TAG_XMLEND(&item.values[6], zel_tag_policy_policy_status, zel_ns_policy);
    item.num_values = 7;
    cfgd_trap_populate(&item);
    ASSERT_EQ(item.trap.num_varbinds, 4);
    EXPECT_STREQ(item.trap.name, "ardentaPolicyStatus");
    EXPECT_STREQ(item.trap.varbinds[0].var.name, "eventTime");
    EXPECT_STREQ(item.trap.varbinds[1].var.name, "netconfNotificationSeverity");
    EXPECT_STREQ(item.trap.varbinds[2].var.name, "ardentaSystemIp");
    EXPECT_EQ(item.trap.varbinds[2].val.type, C_STR);
    EXPECT_STREQ(item.trap.varbinds[2].val.val.s, "192.0.2.1");
    EXPECT_STREQ(item.trap.varbinds[3].var.name, "ardentaPolicyName");
    cfgd_trap_item_free(&item);

    // Without its end tag every value from the fifth on is a field: the bindings still
    // stop at their capacity of (values - 3).
    cfgd_notif_item open{};
    memcpy(open.values, item.values, sizeof(confd_tag_value_t) * 6);
    open.num_values = 6;
    cfgd_trap_populate(&open);
    ASSERT_NE(open.trap.varbinds, nullptr);
    EXPECT_EQ(open.trap.num_varbinds, 3);
    EXPECT_STREQ(open.trap.varbinds[2].var.name, "ardentaSystemIp");
    cfgd_trap_item_free(&open);

    cfgd_notif_item small{};
    memcpy(small.values, item.values, sizeof(confd_tag_value_t) * 3);
    small.values[3] = item.values[6];
    small.num_values = 4;
    cfgd_trap_populate(&small);
    EXPECT_EQ(small.trap.varbinds, nullptr);
}

}  // namespace
