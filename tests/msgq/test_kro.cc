#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/qor_util.h"
#include "daemon/zel_kro.h"
#include "msgq_fixture.h"
#include "platform/kro/kro_msg.h"
#include "policy/zel_config.h"

namespace
{

kro_msg_t locator(uint32_t type, const char *addr, uint8_t color, uint8_t encap)
{
    kro_msg_t m{};
    m.type = type;
    m.src = QOR_DAEMON_ID_KROD;
    m.body.tloc.family = AF_INET;
    inet_pton(AF_INET, addr, &m.body.tloc.addr.v4);
    m.body.tloc.color = color;
    m.body.tloc.encap = encap;
    m.body.tloc.state = 1;
    return m;
}

TEST(KroCodec, EncodeRefusesWhatDoesNotFit)
{
    kro_msg_t m = locator(KRO_MSG_TLOC_UPDATE, "10.0.0.1", 1, 1);
    uint8_t small[KRO_WIRE_TLOC_LEN - 1];
    uint32_t len = 0;
    EXPECT_EQ(kro_msg_encode(&m, small, sizeof small, &len), 90);
    m.type = 300;
    uint8_t buf[KRO_MSG_LEN];
    EXPECT_EQ(kro_msg_encode(&m, buf, sizeof buf, &len), 22);
}

// A policy-side record holding a reference on a locator; marking sets its policy's changed flag.
struct Holder {
    zel_policy policy;
    zel_tloc_ref rec{};
    Holder()
    {
        rec.kref.p_rec = &rec;
        rec.policy = &policy;
    }
};

class KroTable : public testing::Test
{
protected:
    void SetUp() override { zel_kro_table_init(&ctx_); }
    void TearDown() override
    {
        for (auto *p = static_cast<zel_kro_peer *>(avl_first(&ctx_.kro_peers)); p;) {
            auto *next = static_cast<zel_kro_peer *>(AVL_NEXT(&ctx_.kro_peers, p));
            // The last reference may take the entry with it.
            for (unsigned long n = avl_numnodes(&p->refs); n > 0; n--)
                zel_kro_ref_remove(&ctx_, p, static_cast<zel_kro_ref *>(avl_first(&p->refs)));
            p = next;
        }
        zel_kro_deinit(&ctx_);
        EXPECT_EQ(avl_numnodes(&ctx_.kro_peers), 0u);
    }
    zel_kro_peer *find(const kro_msg_t &m)
    {
        tloc_key_t key{};
        key.addr.family = AF_INET;
        key.addr.v4 = ntohl(m.body.tloc.addr.v4);
        key.color = m.body.tloc.color;
        key.encap = m.body.tloc.encap;
        return zel_kro_peer_find(&ctx_, &key);
    }
    zel_ctx ctx_{};
};

// A locator referenced before krod reports it is resolved by the report, which marks every
// reference; a repeated or flag-only update marks nothing, a state change does. A withdrawal marks
// and keeps a referenced locator until its last reference goes, and frees an unreferenced one.
TEST_F(KroTable, ChangesMarkEveryReferenceAndReferencedLocatorsOutliveTheirWithdrawal)
{
    kro_msg_t used = locator(KRO_MSG_TLOC_UPDATE, "192.0.2.1", 1, 2);
    kro_msg_t unused = locator(KRO_MSG_TLOC_UPDATE, "192.0.2.2", 1, 2);
    tloc_key_t key{};
    key.addr.family = AF_INET;
    key.addr.v4 = 0xC0000201u;
    key.color = 1;
    key.encap = 2;
    zel_kro_peer *p = zel_kro_peer_get(&ctx_, &key);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->resolved, 0);
    Holder a, b;
    zel_kro_ref_add(p, &a.rec.kref);
    zel_kro_ref_add(p, &b.rec.kref);
    ASSERT_EQ(zel_kro_tloc_update(&ctx_, &used), 0);
    EXPECT_EQ(find(used), p);
    EXPECT_EQ(p->resolved, 1);
    EXPECT_EQ(a.policy.changed + b.policy.changed, 2);

    a.policy.changed = 0;
    ASSERT_EQ(zel_kro_tloc_update(&ctx_, &used), 0);
    used.body.tloc.local = 1;
    ASSERT_EQ(zel_kro_tloc_update(&ctx_, &used), 0);
    EXPECT_EQ(p->flags, 1);
    EXPECT_EQ(a.policy.changed, 0);
    used.body.tloc.state = 0;
    ASSERT_EQ(zel_kro_tloc_update(&ctx_, &used), 0);
    EXPECT_EQ(p->state, 0);
    EXPECT_EQ(a.policy.changed, 1);

    zel_kro_ref_remove(&ctx_, p, &b.rec.kref);
    a.policy.changed = 0;
    ASSERT_EQ(zel_kro_tloc_update(&ctx_, &unused), 0);
    used.type = unused.type = KRO_MSG_TLOC_WITHDRAW;
    ASSERT_EQ(zel_kro_tloc_withdraw(&ctx_, &used), 0);
    ASSERT_EQ(find(used), p);
    EXPECT_EQ(p->resolved, 0);
    EXPECT_EQ(a.policy.changed, 1);
    ASSERT_EQ(zel_kro_tloc_withdraw(&ctx_, &unused), 0);
    EXPECT_EQ(find(unused), nullptr);
    EXPECT_EQ(zel_kro_tloc_withdraw(&ctx_, &unused), 2);
    zel_kro_ref_remove(&ctx_, p, &a.rec.kref);
    EXPECT_EQ(find(used), nullptr);
}

// zeld's KRO link, here without a krod.
class KroLinkDeath : public msgq_test::CtxLoop
{
protected:
    void TearDown() override
    {
        zel_kro_deinit(&ctx_);
        msgq_test::CtxLoop::TearDown();
    }
};

TEST_F(KroLinkDeath, RequestThatCannotBeSentIsFatal)
{
    // Up on a link that is not connected: the first request's write fails.
    ASSERT_EQ(zel_kro_init(&ctx_), 0);
    ASSERT_FALSE(msgq_is_connected(ctx_.links.kro));
    EXPECT_DEATH(zel_kro_up(ctx_.links.kro, &ctx_), "zel_kro:152: failed assertion `rc == 0'");
}

}  // namespace
