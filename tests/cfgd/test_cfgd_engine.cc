// The connection and subscription engine against a real cdb-sim.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "cfgd/cfgd_util.h"
#include "cfgd_harness.h"
#include "common/timer.h"
#include "yang/zel_yang_hashes.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace
{

struct Call {
    std::string point;
    int op;
    unsigned nkeys;
    unsigned nvalues;
    std::string first_key;
    std::vector<int> types;  // value types in order
};

std::vector<Call> g_calls;
std::vector<int> g_done;  // trigger flag of every subs_done_cb

int record(cfgd_sub_point *p, enum cdb_iter_op op, uint8_t nkeys, confd_value_t *keys, uint16_t nvalues,
           confd_tag_value_t *values)
{
    std::string key;
    if (nkeys > 0 && keys[0].type == C_BUF)
        key.assign(reinterpret_cast<const char *>(keys[0].val.buf.ptr), keys[0].val.buf.size);
    std::vector<int> types;
    for (unsigned i = 0; i < nvalues; i++)
        types.push_back(values[i].v.type);
    g_calls.push_back({p->path, op, nkeys, nvalues, key, types});
    return 0;
}

void done(cfgd_context *, int trigger) { g_done.push_back(trigger); }

cfgd_sub_point make_point(const char *path, uint8_t keys, uint8_t add, uint8_t del)
{
    cfgd_sub_point p{};
    snprintf(p.path, sizeof p.path, "%s", path);
    p.handler = record;
    p.ns = zel_ns_policy;
    p.num_keys = keys;
    p.priorities = cfgd_prio(add, del);
    return p;
}

const char *kPrefixList = R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[
  {"name":"pl1","ip-prefix":[{"ip-prefix":"10.0.0.0/8"}]}]}}})";
const char *kPrefixList2 = R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[
  {"name":"pl2","ip-prefix":[{"ip-prefix":"10.2.0.0/16"}]}]}}})";

class Engine : public testing::Test
{
protected:
    void SetUp() override
    {
        g_calls.clear();
        g_done.clear();
        ASSERT_TRUE(sim_.start());
        points_ = {make_point("policy/lists/data-prefix-list", 1, 1, 6),
                   make_point("policy/lists/data-prefix-list/ip-prefix", 2, 1, 6), cfgd_sub_point{}};
        params_ = bare_module_params(loop_, 40);  // level 3, like zeld
        params_.sub_points = points_.data();
        params_.subs_done_cb = done;
    }
    void TearDown() override { cfgd_module_free(ctx_); }

    bool subscribed()
    {
        std::string out;
        return sim_.cli({"status"}, &out) == 0 && out.find("data-prefix-list/ip-prefix") != std::string::npos;
    }
    int calls_with_op(int op) const
    {
        int n = 0;
        for (auto &c : g_calls)
            n += c.op == op;
        return n;
    }
    void connect()
    {
        ASSERT_EQ(cfgd_module_init(&params_, nullptr, &ctx_), 0);
        ASSERT_TRUE(loop_.run_until([&] { return subscribed() && ctx_->sub_ev != nullptr; }));
        loop_.run_for(std::chrono::milliseconds(100));
    }
    // The prefix list in the database, the initial-read mask written, then connected.
    void connect(uint32_t mask)
    {
        ASSERT_EQ(sim_.load_json(kPrefixList), 0);
        ASSERT_TRUE(sim_.set_prio_mask(mask));
        connect();
    }
    int load(const char *json)
    {
        return run_cli_async(loop_, [&] { return sim_.load_json(json); });
    }

    CdbSim sim_;
    Loop loop_;
    std::vector<cfgd_sub_point> points_;
    cfgd_module_params params_{};
    cfgd_context *ctx_ = nullptr;
};

TEST_F(Engine, IncompleteMaskWaitsAndChangesAreOnlyAcknowledged)
{
    connect(0x3);
    loop_.run_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(g_calls.empty());

    // A commit before the initial read completes (it is synced) without a handler call.
    ASSERT_EQ(load(kPrefixList2), 0);
    EXPECT_TRUE(g_calls.empty());
    ASSERT_FALSE(g_done.empty());
    EXPECT_EQ(g_done.back(), 0);

    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    ASSERT_TRUE(loop_.run_until([&] { return calls_with_op(MOP_CREATED) >= 4 && ctx_->initial_read_done == 1; }));
    EXPECT_EQ(g_done.back(), CDB_SUB_FLAG_TRIGGER);
    EXPECT_EQ(ctx_->initial_read_done, 1u);
}

// The initial read runs once in the life of the process: mask writes that come while it runs ask for
// no second one.
TEST_F(Engine, QuickMaskWritesReadOnce)
{
    connect(0x3);
    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(cfgd_read_sub_config_all(ctx_), 0);
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->initial_read_done == 1; }));
    loop_.run_for(std::chrono::milliseconds(300));
    EXPECT_EQ(calls_with_op(MOP_CREATED), 2);
    EXPECT_EQ(cfgd_can_read_initial_config(ctx_), 0) << "never again in this process";
}

// The database refuses a trigger naming a subscription it does not know; the retry reconnects and
// subscribes afresh, with ids the database knows.
TEST_F(Engine, RefusedTriggerIsRetriedUntilItSucceeds)
{
    connect(0x3);
    points_[0].sub_id += 1000;
    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    loop_.run_for(std::chrono::milliseconds(300));
    EXPECT_NE(ctx_->initial_read_done, 1u);
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->initial_read_done == 1; }));
    EXPECT_EQ(calls_with_op(MOP_CREATED), 2);
}

TEST_F(Engine, DeletionReachesOnlyTheDeleteSubscription)
{
    connect(0x7);
    ASSERT_TRUE(loop_.run_until([&] { return !g_done.empty(); }));
    g_calls.clear();

    ASSERT_EQ(run_cli_async(loop_, [&] { return sim_.cli({"delete", "/policy/lists/data-prefix-list{pl1}"}); }), 0);
    // Both points are told once, through their delete subscriptions; the add side suppresses it.
    ASSERT_EQ(calls_with_op(MOP_DELETED), 2);
    for (auto &c : g_calls) {
        EXPECT_EQ(c.op, MOP_DELETED);
        EXPECT_EQ(c.nvalues, 0u);
        EXPECT_EQ(c.first_key, "pl1");
    }
}

// A modification is split: the add priority gets the new values, the delete priority
// only the removed leaves.
TEST_F(Engine, LeafChangesAreSplitBetweenAddAndDelete)
{
    points_ = {make_point("policy/mirror/remote-dest", 2, 1, 6), cfgd_sub_point{}};
    params_.sub_points = points_.data();
    ASSERT_EQ(sim_.load_json(R"({"ardenta-policy:policy":{"mirror":[{"name":"m1",
        "remote-dest":[{"address":"192.0.2.1","source":"10.0.0.1"}]}]}})"),
              0);
    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    ASSERT_EQ(cfgd_module_init(&params_, nullptr, &ctx_), 0);
    ASSERT_TRUE(loop_.run_until([&] { return !g_done.empty(); }));
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].op, MOP_CREATED);
    EXPECT_EQ(g_calls[0].nkeys, 2u);

    g_calls.clear();
    ASSERT_EQ(load(R"({"ardenta-policy:policy":{"mirror":[{"name":"m1",
        "remote-dest":[{"address":"192.0.2.1","source":"10.0.0.2"}]}]}})"),
              0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].op, MOP_MODIFIED);
    EXPECT_EQ(g_calls[0].types, std::vector<int>{C_IPV4});

    g_calls.clear();
    int rc = run_cli_async(loop_, [&] {
        return sim_.cli({"delete", "/policy/mirror{m1}/remote-dest{192.0.2.1}/source"});
    });
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].op, MOP_MODIFIED);
    EXPECT_EQ(g_calls[0].types, std::vector<int>{C_NOEXISTS});
}

TEST_F(Engine, LostDatabaseRetriesWithOneTimerAndReconnectsWithoutSecondRead)
{
    connect(0x7);
    ASSERT_TRUE(loop_.run_until([&] { return !g_done.empty(); }));
    const size_t calls = g_calls.size();

    const int port = sim_.port();
    sim_.stop();
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->retry_timer != nullptr; }));
    timer_obj *timer = ctx_->retry_timer;
    EXPECT_EQ(timer_get_interval_ms(timer), 2000);
    EXPECT_STREQ(timer->name, "cfgd_timer");
    loop_.run_for(std::chrono::milliseconds(4500));  // at least two failed attempts
    EXPECT_EQ(ctx_->retry_timer, timer);
    EXPECT_EQ(ctx_->ctrl_sock, -1);

    ASSERT_TRUE(sim_.start(port));
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->retry_timer == nullptr && subscribed(); }));
    loop_.run_for(std::chrono::milliseconds(500));
    EXPECT_EQ(g_calls.size(), calls);
    ASSERT_EQ(load(kPrefixList2), 0);
    EXPECT_GT(g_calls.size(), calls);
}

// Bytes in use on the heap; leak checkers do not see memory that stays reachable.
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

TEST_F(Engine, ReconnectsLeaveTheHeapFlat)
{
    connect();
    auto reconnect = [&] {
        cfgd_retry_connect(ctx_);
        ASSERT_EQ(cfgd_module_init(nullptr, ctx_, nullptr), 0);
        ASSERT_TRUE(
            loop_.run_until([&] { return event_pending(ctx_->sub_ev, EV_READ, nullptr) && ctx_->live_threads == 0; }));
    };
    for (int i = 0; i < 3; i++)
        reconnect();
    const size_t before = heap_in_use();
    for (int i = 0; i < 20; i++)
        reconnect();
    const size_t after = heap_in_use();
    EXPECT_LT(after, before + 64 * 1024) << before << " bytes before 20 reconnections, " << after << " after";
}

TEST_F(Engine, FirstInitWithDatabaseDownCarriesOn)
{
    sim_.stop();
    setenv("CONFD_IPC_PORT", "1", 1);
    EXPECT_EQ(cfgd_module_init(&params_, nullptr, &ctx_), 3);
    ASSERT_NE(ctx_, nullptr);
    EXPECT_NE(ctx_->retry_timer, nullptr);
}

}  // namespace
