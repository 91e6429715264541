#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/qor_util.h"
#include "daemon/zel_sysmgr.h"
#include "daemon/zel_tabmgr.h"
#include "msgq_fixture.h"
#include "platform/peers/pxrd_decode.h"
#include "policy/zel_bind.h"
#include "policy/zel_config.h"

namespace
{

std::string decode(const std::vector<uint8_t> &m) { return pxrd_decode(m.data(), static_cast<uint32_t>(m.size())); }

TEST(BindingMessage, LongNamesAreCutAndTooSmallBuffersRefused)
{
    const std::string name(200, 'n');
    std::vector<uint8_t> buf(139);
    ASSERT_EQ(zel_bind_encode(buf.data(), buf.size(), {ZEL_BIND_OP_UNBIND, 2, 1, 7, name.c_str()}, {}), 139u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data() + 7)), std::string(127, 'n'));
    const zel_vpn_range one[] = {{5, 5}};
    EXPECT_EQ(zel_bind_encode(buf.data(), buf.size(), {ZEL_BIND_OP_BIND, 2, 1, 7, "x"}, one), 0u);
    const zel_vpn_range inverted[] = {{9, 3}};
    EXPECT_EQ(zel_vpn_range_count(inverted), 0u);
}

const zel_vpn_range kCorp[] = {{10, 12}, {20, 20}};

class Links : public msgq_test::CtxLoop
{
protected:
    // One data policy on two vpn-lists, "corp" (filter 3) and "empty" (filter 4, no VPNs).
    void one_policy()
    {
        ASSERT_EQ(zel_policy_db_init(&ctx_, 16), 0);
        ASSERT_EQ(zel_config_policy_add(&ctx_, ZEL_POLICY_TYPE_DATA, "P"), 0);
        uint32_t index = 3;
        for (const char *name : {"corp", "empty"}) {
            ASSERT_EQ(zel_config_vpn_list_add(&ctx_, name), 0);
            ASSERT_EQ(zel_config_policy_vpn_list_add(&ctx_, ZEL_POLICY_TYPE_DATA, "P", name, 0, nullptr), 0);
            zel_policy_vpn_list *pvl;
            ASSERT_EQ(zel_config_policy_vpn_list_find(&ctx_, ZEL_POLICY_TYPE_DATA, "P", name, &pvl), 0);
            pvl->filter_type = 1;
            pvl->direction = 1;
            pvl->filter_index = index++;
        }
        for (const zel_vpn_range &r : kCorp)
            ctx_.policy_db->vpn_lists.find("corp")->second->ranges.insert(r);
    }
    void TearDown() override
    {
        if (ctx_.policy_db) {
            for (auto &[name, pvl] : ctx_.policy_db->policies.begin()->second->vpn_lists)
                pvl->filter_index = ZEL_FILTER_UNBOUND;
            zel_policy_db_free(&ctx_);
        }
        zel_sysmgr_deinit(&ctx_);
        zel_tabmgr_deinit(&ctx_);
        msgq_test::CtxLoop::TearDown();
    }
    msgq_test::Recorder peer_;
};

TEST_F(Links, PxrdRegistrationAnnouncesEveryVpnList)
{
    one_policy();
    ASSERT_EQ(zel_tabmgr_init(&ctx_), 0);
    EXPECT_STREQ(ctx_.links.tabmgr->path, path_of("zeld").c_str());
    const msgq_params_t p = params();
    msgq_handle_t *pxrd =
        msgq_init(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_CLIENT, &p, &msgq_test::kRecCbs, &peer_);
    ASSERT_NE(pxrd, nullptr);
    ASSERT_TRUE(pump_until([&] { return peer_.msgs.size() == 2; }));
    EXPECT_EQ(peer_.msgs[0].size(), 139u + 4 * 4);
    EXPECT_EQ(decode(peer_.msgs[0]), "{\"event\":\"bind\",\"opcode\":1,\"filter_type\":1,\"direction\":1,"
                                     "\"filter_index\":3,\"name\":\"corp\",\"count\":4,\"vpns\":[10,11,12,20]}");
    EXPECT_EQ(peer_.msgs[1].size(), 139u);
    EXPECT_NE(decode(peer_.msgs[1]).find("\"name\":\"empty\",\"count\":0"), std::string::npos);

    // pxrd comes back: everything is announced again; what it sends is dropped.
    msgq_close(pxrd);
    pxrd = msgq_init(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_CLIENT, &p, &msgq_test::kRecCbs, &peer_);
    ASSERT_TRUE(pump_until([&] { return peer_.msgs.size() == 4; }));
    EXPECT_EQ(peer_.msgs[2], peer_.msgs[0]);
    void *msg = msgq_alloc_msg(pxrd, 3);
    memcpy(msg, "abc", 3);
    ASSERT_EQ(msgq_write(pxrd, msg, 3), 0);
    ASSERT_TRUE(pump_until([&] { return ctx_.links.tabmgr->stats.rx_msg == 1; }));
    EXPECT_EQ(ctx_.links.tabmgr->stats.msg_allocs, ctx_.links.tabmgr->stats.msg_frees);
}

TEST_F(Links, SystemManagerGetsHelloOnUpAndEverySecond)
{
    const msgq_params_t p = params();
    msgq_handle_t *sysmgr =
        msgq_init(QOR_DAEMON_ID_SYSMGR, QOR_DAEMON_ID_ZELD, MSGQ_SERVER, &p, &msgq_test::kRecCbs, &peer_);
    ASSERT_NE(sysmgr, nullptr);
    ASSERT_EQ(zel_sysmgr_init(&ctx_), 0);
    ASSERT_NE(ctx_.links.sysmgr, nullptr);
    EXPECT_EQ(timer_get_interval_ms(ctx_.links.sysmgr->p_hello_timer), 1000);
    EXPECT_FALSE(timer_is_running(ctx_.links.sysmgr->p_hello_timer));
    // The header fields are checked end to end; here the repeat and the zero padding.
    ASSERT_TRUE(pump_until([&] { return peer_.msgs.size() == 2; }));
    for (const auto &m : peer_.msgs) {
        ASSERT_EQ(m.size(), 32u);
        EXPECT_EQ(std::vector<uint8_t>(m.begin() + 12, m.end()), std::vector<uint8_t>(20, 0));
    }

    // What the system manager sends, type 4 or any other, is taken and dropped: zeld gives no
    // callback for it.
    for (uint8_t type : {SYSMGR_MSG_TYPE4, uint8_t{2}}) {
        sysmgr_msg_t m{};
        m.version = 1;
        m.type = type;
        m.length = 32;
        void *buf = msgq_alloc_msg(sysmgr, 32);
        memcpy(buf, &m, 32);
        ASSERT_EQ(msgq_write(sysmgr, buf, 32), 0);
    }
    msgq_handle_t *link = ctx_.links.sysmgr->p_msgq;
    ASSERT_TRUE(pump_until([&] { return link->stats.rx_msg == 2; }));
    EXPECT_EQ(link->stats.msg_allocs, link->stats.msg_frees);

    // Peer gone: hellos stop until it is back.
    msgq_close(sysmgr);
    ASSERT_TRUE(pump_until([&] { return !timer_is_running(ctx_.links.sysmgr->p_hello_timer); }));
}

}  // namespace
