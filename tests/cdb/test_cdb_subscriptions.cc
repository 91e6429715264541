// Commit delivery through the client library: priorities, split ADD/DEL points,
// keypaths and values, trigger, pre-commit reads, operational data, failures.
#include <unistd.h>

#include <gtest/gtest.h>

#include "cdb_test_util.h"

namespace
{

const char *kLists = R"({"test-cdb:policy":{"lists":{
  "data-prefix-list":[{"name":"p1","description":"d","options":{"a":"x"}}],
  "app-list":[{"name":"web","app":["http"]}]}}})";

const char *kVpn = R"({"test-cdb:vpn":{"vpn-instance":[{"vpn-id":"1","vrf-id":7,
  "interface":[{"if-name":"ge0","access-list":[{"direction":"in","acl-name":"A"}]}]}]}})";

constexpr uint32_t kPolicyNs = 0x25640284;

TEST(CdbDelivery, LowerPrioritiesFirstAndNextOnlyAfterEverySync)
{
    Sim sim;
    EventLog log;
    Subscriber a(sim, "alpha"), b(sim, "beta");
    int a1 = a.subscribe(1, "/policy/lists/data-prefix-list");
    int a6 = a.subscribe(6, "/vpn/vpn-instance");
    int b3 = b.subscribe(3, "/policy/lists/app-list");
    b.subscribe(2, "/policy/app-visibility");  // not touched: never notified
    auto handler = [&](Subscriber &s, const Notification &n) {
        for (int id : n.ids)
            log.add(s.name() + " got " + std::to_string(id));
        log.add(s.name() + " sync");
        return true;
    };
    a.run(handler);
    b.run(handler);
    auto r = sim.load(
        std::string(
            R"({"test-cdb:policy":{"lists":{"data-prefix-list":[{"name":"p1"}],"app-list":[{"name":"web"}]}},)") +
        std::string(kVpn).substr(1));
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.out, "commit complete\n");
    std::vector<std::string> want{"alpha got " + std::to_string(a1), "alpha sync",
                                  "beta got " + std::to_string(b3),  "beta sync",
                                  "alpha got " + std::to_string(a6), "alpha sync"};
    EXPECT_EQ(log.all(), want);
}

TEST(CdbDelivery, KeypathsOperationsAndValues)
{
    Sim sim;
    Subscriber s(sim, "lists");
    int id = s.subscribe(1, "/policy/lists/app-list");
    std::mutex mu;
    std::vector<std::vector<std::string>> seen;
    std::vector<uint32_t> kp_facts;
    s.run([&](Subscriber &sub, const Notification &) {
        std::lock_guard<std::mutex> lk(mu);
        seen.push_back(diff_lines(sub.sock(), id, true));
        return true;
    });
    auto apps = [](const std::string &list) {
        return R"({"test-cdb:policy":{"lists":{"app-list":[{"name":"web")" + list + "}]}}}";
    };
    ASSERT_EQ(sim.load(apps(R"(,"app":["http"])")).rc, 0);
    ASSERT_EQ(sim.load(apps(R"(,"app":["http","https"])"), true).rc, 0);
    ASSERT_EQ(sim.load(apps(""), true).rc, 0);
    ASSERT_EQ(sim.cli({"delete", "/policy/lists/app-list{web}"}).rc, 0);
    std::lock_guard<std::mutex> lk(mu);
    std::vector<std::vector<std::string>> want{
        {"1 /policy/lists/app-list{web} [name=web app=[http]]", "4 /policy/lists/app-list{web}/name = web",
         "4 /policy/lists/app-list{web}/app = [http]"},
        {"3 /policy/lists/app-list{web} [app=[http https]]", "4 /policy/lists/app-list{web}/app = [http https]"},
        {"3 /policy/lists/app-list{web} [app=NOEXISTS]", "2 /policy/lists/app-list{web}/app"},
        {"2 /policy/lists/app-list{web}"}};
    EXPECT_EQ(seen, want);
}

enum cdb_iter_ret raw_kp(confd_hkeypath_t *kp, enum cdb_iter_op, confd_value_t *, confd_value_t *, void *p)
{
    auto *out = static_cast<confd_hkeypath_t *>(p);
    *out = *kp;
    if (kp->v[0][0].type == C_BUF)
        out->v[0][0].val.buf.ptr = nullptr;  // owned by the library
    EXPECT_EQ(kp->v[0][0].type, C_BUF);
    EXPECT_STREQ(reinterpret_cast<const char *>(kp->v[0][0].val.buf.ptr), "web");
    return ITER_STOP;
}

TEST(CdbDelivery, KeypathElementsCarryHashesAndKeysInnermostFirst)
{
    Sim sim;
    Subscriber s(sim, "raw");
    int lists = s.subscribe(1, "/policy/lists/app-list");
    int root = s.subscribe(2, "/policy");
    confd_hkeypath_t kp{};
    std::vector<confd_tag_value_t> root_mods;
    std::string root_text;
    s.run([&](Subscriber &sub, const Notification &n) {
        for (int id : n.ids) {
            if (id == lists) {
                EXPECT_EQ(cdb_diff_iterate(sub.sock(), id, raw_kp, 0, &kp), CONFD_OK);
            }
            if (id == root) {
                confd_tag_value_t *tv = nullptr;
                int cnt = 0;
                EXPECT_EQ(cdb_get_modifications(sub.sock(), id, 0, &tv, &cnt, nullptr), CONFD_OK);
                root_text = format_mods(tv, cnt);
                if (cnt > 0)
                    root_mods.push_back(tv[0]);
                for (int i = 1; i < cnt; i++)
                    confd_free_value(&tv[i].v);
                free(tv);
            }
        }
        return true;
    });
    ASSERT_EQ(sim.load(R"({"test-cdb:policy":{"app-visibility":true,"lists":{"app-list":[{"name":"web"}]}}})").rc, 0);
    ASSERT_EQ(kp.len, 4);
    EXPECT_EQ(kp.v[0][1].type, C_NOEXISTS);
    EXPECT_EQ(kp.v[1][0].type, C_XMLTAG);
    EXPECT_EQ(kp.v[1][0].val.xmltag.tag, test_fnv("app-list"));
    EXPECT_EQ(kp.v[1][0].val.xmltag.ns, kPolicyNs);
    EXPECT_EQ(kp.v[3][0].val.xmltag.tag, test_fnv("policy"));
    // Lists below a container point are left out without CDB_GET_MODS_INCLUDE_LISTS, and so is
    // a container left empty by that.
    EXPECT_EQ(root_text, "app-visibility=true");
    ASSERT_EQ(root_mods.size(), 1u);
    EXPECT_EQ(root_mods[0].tag.tag, 0x0bb0ec92u);
    EXPECT_EQ(root_mods[0].v.type, C_BOOL);
}

TEST(CdbDelivery, TriggerDeliversCurrentConfigurationAsCreations)
{
    Sim sim;
    ASSERT_EQ(sim.load(kLists).rc, 0);
    Subscriber s(sim, "reader");
    int apps = s.subscribe(1, "/policy/lists/app-list");
    int vpn = s.subscribe(2, "/vpn/vpn-instance");
    std::mutex mu;
    std::vector<std::string> seen;
    s.run([&](Subscriber &sub, const Notification &n) {
        std::lock_guard<std::mutex> lk(mu);
        for (int id : n.ids) {
            seen.push_back("id " + std::to_string(id) + ((n.flags & CDB_SUB_FLAG_TRIGGER) ? " trigger" : ""));
            for (auto &l : diff_lines(sub.sock(), id, false))
                seen.push_back(l);
        }
        return true;
    });
    int data = sim.cdb_socket(CDB_DATA_SOCKET);
    ASSERT_GE(data, 0);
    int ids[2] = {apps, vpn};
    ASSERT_EQ(cdb_trigger_subscriptions(data, ids, 2), CONFD_OK) << confd_lasterr();
    cdb_close(data);
    std::lock_guard<std::mutex> lk(mu);
    std::vector<std::string> want{"id " + std::to_string(apps) + " trigger",
                                  "1 /policy/lists/app-list{web} [name=web app=[http]]",
                                  "id " + std::to_string(vpn) + " trigger"};
    EXPECT_EQ(seen, want);
}

TEST(CdbDelivery, PreCommitRunningShowsTheOldValueDuringDelivery)
{
    Sim sim;
    ASSERT_EQ(sim.load(kVpn).rc, 0);
    Subscriber s(sim, "acl");
    s.subscribe(6, "/vpn/vpn-instance/interface/access-list");
    std::string before, after;
    s.run([&](Subscriber &, const Notification &) {
        int d = sim.cdb_socket(CDB_DATA_SOCKET);
        confd_value_t keys[3];
        CONFD_SET_UINT64(&keys[0], 1);
        CONFD_SET_BUF(&keys[1], "ge0", 3);
        CONFD_SET_ENUM_VALUE(&keys[2], 0);
        char buf[33] = "";
        EXPECT_EQ(cdb_start_session(d, CDB_PRE_COMMIT_RUNNING), CONFD_OK);
        EXPECT_EQ(cdb_get_str(d, buf, sizeof buf, "/vpn/vpn-instance{%x}/interface{%x}/access-list{%x}/acl-name",
                              &keys[0], &keys[1], &keys[2]),
                  CONFD_OK)
            << confd_lasterr();
        before = buf;
        cdb_end_session(d);
        EXPECT_EQ(cdb_start_session(d, CDB_RUNNING), CONFD_OK);
        EXPECT_EQ(cdb_get_str(d, buf, sizeof buf, "/vpn/vpn-instance{1}/interface{ge0}/access-list{in}/acl-name"),
                  CONFD_OK);
        after = buf;
        cdb_close(d);
        return true;
    });
    std::string v = kVpn;
    v.replace(v.find("\"A\""), 3, "\"B\"");
    ASSERT_EQ(sim.load(v).rc, 0);
    EXPECT_EQ(before, "A");
    EXPECT_EQ(after, "B");
}

TEST(CdbDelivery, OperationalWritesNotifyOperationalSubscribers)
{
    Sim sim;
    Subscriber s(sim, "prio");
    int id = s.oper_subscribe("/cfgd-initial-read-priority");
    std::mutex mu;
    std::vector<std::string> seen;
    s.run([&](Subscriber &sub, const Notification &n) {
        std::lock_guard<std::mutex> lk(mu);
        EXPECT_EQ(n.type, CDB_SUB_OPER);
        for (auto &l : diff_lines(sub.sock(), id, false))
            seen.push_back(l);
        return true;
    });
    int d = sim.cdb_socket(CDB_DATA_SOCKET);
    ASSERT_EQ(cdb_start_session2(d, CDB_OPERATIONAL, CDB_LOCK_WAIT | CDB_LOCK_REQUEST), CONFD_OK);
    confd_value_t v;
    CONFD_SET_BIT32(&v, 0x3);
    ASSERT_EQ(cdb_set_elem(d, &v, "/cfgd-initial-read-priority"), CONFD_OK) << confd_lasterr();
    uint32_t mask = 0;
    ASSERT_EQ(cdb_get_bit32(d, &mask, "/cfgd-initial-read-priority"), CONFD_OK);
    EXPECT_EQ(mask, 0x3u);
    EXPECT_EQ(cdb_delete(d, "/vpn/vpn-instance{9}/label"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_NOEXISTS);
    EXPECT_EQ(cdb_set_elem2(d, "42", "/vpn/vpn-instance{9}/label"), CONFD_OK) << confd_lasterr();
    int32_t label = 0;
    EXPECT_EQ(cdb_get_int32(d, &label, "/vpn/vpn-instance{%lu}/label", 9ul), CONFD_OK);
    EXPECT_EQ(label, 42);
    cdb_end_session(d);
    // The running datastore is written only by commits.
    ASSERT_EQ(cdb_start_session(d, CDB_RUNNING), CONFD_OK);
    EXPECT_EQ(cdb_set_elem2(d, "9", "/vpn/vpn-instance{1}/vrf-id"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_NOT_WRITABLE);
    cdb_close(d);
    // The subscriber's sync of the first write may still be pending; a trigger queues behind it.
    int t = sim.cdb_socket(CDB_DATA_SOCKET);
    ASSERT_EQ(cdb_trigger_oper_subscriptions(t, &id, 1, 0), CONFD_OK);
    cdb_close(t);
    std::lock_guard<std::mutex> lk(mu);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0], "4 /cfgd-initial-read-priority = 0x3");
}

TEST(CdbDelivery, ASubscriberThatVanishesIsDroppedAndTheCommitCompletes)
{
    Sim sim;
    EventLog log;
    auto gone = std::make_unique<Subscriber>(sim, "gone");
    gone->subscribe(1, "/policy/lists/app-list");
    Subscriber stays(sim, "stays");
    stays.subscribe(2, "/policy/lists/app-list");
    gone->run([&](Subscriber &sub, const Notification &) {
        log.add("gone notified");
        shutdown(sub.sock(), SHUT_RDWR);
        return false;
    });
    stays.run([&](Subscriber &, const Notification &) {
        log.add("stays notified");
        return true;
    });
    auto r = sim.load(kLists);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(log.all(), (std::vector<std::string>{"gone notified", "stays notified"}));
    EXPECT_NE(sim.cli({"show-config"}).out.find("\"web\""), std::string::npos);
    ASSERT_EQ(sim.load(R"({"test-cdb:policy":{"app-visibility":false}})").rc, 0);
}

TEST(CdbDelivery, TwoPhaseAbortRejectsTheCommit)
{
    Sim sim;
    ASSERT_EQ(sim.load(kLists).rc, 0);
    EventLog log;
    Subscriber guard(sim, "guard");
    guard.subscribe(1, "/policy/lists/app-list", CDB_SUB_RUNNING_TWOPHASE);
    Subscriber plain(sim, "plain");
    plain.subscribe(2, "/policy/lists/app-list");
    guard.run([&](Subscriber &sub, const Notification &n) {
        log.add("guard " + std::to_string(n.type));
        if (n.type != CDB_SUB_PREPARE)
            return true;
        EXPECT_EQ(cdb_sub_abort_trans(sub.sock(), CONFD_ERRCODE_APPLICATION_INTERNAL, 0, 0, "Unable to apply changes"),
                  CONFD_OK);
        return false;
    });
    plain.run([&](Subscriber &, const Notification &) {
        log.add("plain");
        return true;
    });
    auto before = sim.cli({"show-config"}).out;
    auto r = sim.cli({"delete", "/policy/lists/app-list{web}"});
    EXPECT_NE(r.rc, 0);
    EXPECT_NE(r.out.find("Unable to apply changes"), std::string::npos) << r.out;
    EXPECT_EQ(sim.cli({"show-config"}).out, before);
    EXPECT_EQ(log.all(), std::vector<std::string>{"guard 1"});
}

TEST(CdbDatastore, BadInputIsRejectedAndRunningIsUnchanged)
{
    Sim sim;
    ASSERT_EQ(sim.load(kVpn).rc, 0);
    auto before = sim.cli({"show-config"}).out;
    auto bad_json = sim.load("{\"test-cdb:vpn\": ");
    EXPECT_EQ(bad_json.rc, 1);
    EXPECT_NE(bad_json.out.find("invalid configuration"), std::string::npos) << bad_json.out;
    auto bad_type = sim.load(R"({"test-cdb:vpn":{"vpn-instance":[{"vpn-id":"1","vrf-id":"seven"}]}})");
    EXPECT_EQ(bad_type.rc, 1);
    EXPECT_NE(bad_type.out.find("vrf-id"), std::string::npos) << bad_type.out;
    auto unknown = sim.load(R"({"test-cdb:vpn":{"colour":"red"}})");
    EXPECT_EQ(unknown.rc, 1);
    auto missing = sim.cli({"delete", "/vpn/vpn-instance{2}"});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(sim.cli({"show-config"}).out, before);
    EXPECT_NE(sim.cli({"delete", "/vpn/nothing"}).rc, 0);
}

TEST(CdbDatastore, RunningSurvivesARestartAndClientsReconnect)
{
    Sim sim;
    ASSERT_EQ(sim.load(kVpn).rc, 0);
    Subscriber s(sim, "survivor");
    s.subscribe(1, "/vpn/vpn-instance");
    ASSERT_EQ(cdb_subscribe_done(s.sock()), CONFD_OK);
    int port = sim.port();
    sim.stop();
    int *ids = nullptr, n = 0;
    EXPECT_EQ(cdb_read_subscription_socket2(s.sock(), nullptr, nullptr, &ids, &n), CONFD_EOF);
    sim.start(2, port);
    int d = sim.cdb_socket(CDB_DATA_SOCKET);
    ASSERT_GE(d, 0);
    ASSERT_EQ(cdb_start_session(d, CDB_RUNNING), CONFD_OK);
    uint32_t vrf = 0;
    EXPECT_EQ(cdb_get_u_int32(d, &vrf, "/vpn/vpn-instance{1}/vrf-id"), CONFD_OK);
    EXPECT_EQ(vrf, 7u);
    EXPECT_EQ(cdb_exists(d, "/vpn/vpn-instance{1}/interface{ge0}"), 1);
    EXPECT_EQ(cdb_exists(d, "/vpn/vpn-instance{2}"), 0);
    EXPECT_EQ(cdb_num_instances(d, "/vpn/vpn-instance{1}/interface"), 1);
    cdb_close(d);
}

TEST(CdbDatastore, StartedWithoutOptionsAcceptsConfigurationAtOnce)
{
    Sim sim(-1);
    int d = sim.cdb_socket(CDB_DATA_SOCKET);
    struct cdb_phase ph {
    };
    ASSERT_EQ(cdb_get_phase(d, &ph), CONFD_OK);
    EXPECT_EQ(ph.phase, 2);
    EXPECT_EQ(sim.load(kLists).rc, 0);
    cdb_close(d);
}

TEST(CdbDatastore, StartPhasesGateWaitStartAndConfiguration)
{
    Sim sim(0);
    int d = sim.cdb_socket(CDB_DATA_SOCKET);
    struct cdb_phase ph {
    };
    ASSERT_EQ(cdb_get_phase(d, &ph), CONFD_OK);
    EXPECT_EQ(ph.phase, 0);
    int w = sim.cdb_socket(CDB_DATA_SOCKET);
    int waited = -1;
    std::thread waiter([&] { waited = cdb_wait_start(w); });
    EXPECT_EQ(sim.load(kLists).rc, 1);
    EXPECT_EQ(sim.cli({"phase", "1"}).rc, 0);
    waiter.join();
    EXPECT_EQ(waited, CONFD_OK);
    EXPECT_EQ(sim.load(kLists).rc, 1);
    Subscriber s(sim, "zeld");
    s.subscribe(4, "/policy/lists/app-list");
    ASSERT_EQ(cdb_subscribe_done(s.sock()), CONFD_OK);
    auto st = sim.cli({"status"});
    EXPECT_NE(st.out.find("\"phase\":1"), std::string::npos) << st.out;
    EXPECT_NE(st.out.find(R"("path":"/policy/lists/app-list","namespace":"0x25640284","priority":4)"),
              std::string::npos)
        << st.out;
    EXPECT_EQ(sim.cli({"phase", "2"}).rc, 0);
    ASSERT_EQ(cdb_get_phase(d, &ph), CONFD_OK);
    EXPECT_EQ(ph.phase, 2);
    cdb_close(d);
    cdb_close(w);
}

}  // namespace
