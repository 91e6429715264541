// Daemon side through the client library: data-provider callpoints, action
// points with CLI output, notification streams and SNMP notifications.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "cdb_test_util.h"

namespace
{

// A daemon: control and worker sockets served by a poll loop on its own thread.
class TestDaemon
{
public:
    explicit TestDaemon(Sim &sim)
    {
        confd_init("test-daemon", stderr, CONFD_SILENT);
        dx = confd_init_daemon("test-daemon");
        sockaddr_in a = sim.addr();
        ctl = socket(AF_INET, SOCK_STREAM, 0);
        worker = socket(AF_INET, SOCK_STREAM, 0);
        maapi = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(confd_connect(dx, ctl, CONTROL_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a), CONFD_OK);
        EXPECT_EQ(confd_connect(dx, worker, WORKER_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a), CONFD_OK);
        EXPECT_EQ(maapi_connect(maapi, reinterpret_cast<sockaddr *>(&a), sizeof a), CONFD_OK);
        EXPECT_EQ(pipe(stop_), 0);
    }
    ~TestDaemon()
    {
        if (loop_.joinable()) {
            EXPECT_EQ(write(stop_[1], "x", 1), 1);
            loop_.join();
        }
        close(ctl);
        close(worker);
        close(maapi);
        close(stop_[0]);
        close(stop_[1]);
        confd_release_daemon(dx);
    }
    void start()
    {
        ASSERT_EQ(confd_register_done(dx), CONFD_OK);
        loop_ = std::thread([this] {
            for (;;) {
                pollfd p[3] = {{ctl, POLLIN, 0}, {worker, POLLIN, 0}, {stop_[0], POLLIN, 0}};
                if (poll(p, 3, -1) < 0)
                    return;
                if (p[2].revents)
                    return;
                for (int i = 0; i < 2; i++)
                    if (p[i].revents & POLLIN) {
                        int rc = confd_fd_ready(dx, p[i].fd);
                        if (rc == CONFD_EOF)
                            return;
                    }
            }
        });
    }
    confd_daemon_ctx *dx;
    int ctl, worker, maapi;

private:
    int stop_[2];
    std::thread loop_;
};

TestDaemon *g_daemon = nullptr;
const std::map<std::string, uint64_t> kFilters{{"alpha", 10}, {"beta", 20}, {"gamma", 30}};

int init_trans(confd_trans_ctx *tctx)
{
    confd_trans_set_fd(tctx, g_daemon->worker);
    return CONFD_OK;
}

int reply_entry(confd_trans_ctx *tctx, std::map<std::string, uint64_t>::const_iterator it, bool as_next)
{
    if (it == kFilters.end())
        return as_next ? confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1)
                       : confd_data_reply_not_found(tctx);
    confd_tag_value_t tv[2];
    CONFD_SET_TAG_BUF(&tv[0], confd_str2hash("name"), it->first.c_str(), it->first.size());
    CONFD_SET_TAG_UINT64(&tv[1], confd_str2hash("packets"), it->second);
    return as_next ? confd_data_reply_next_object_tag_value_array(tctx, tv, 2, -1)
                   : confd_data_reply_tag_value_array(tctx, tv, 2);
}

int get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    std::string key(reinterpret_cast<const char *>(kp->v[0][0].val.buf.ptr), kp->v[0][0].val.buf.size);
    return reply_entry(tctx, kFilters.find(key), false);
}

int get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, long next)
{
    return reply_entry(tctx, next == -1 ? kFilters.begin() : kFilters.end(), true);
}

int find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, enum confd_find_next_type type, confd_value_t *keys,
                     int nkeys)
{
    if (nkeys == 0)
        return reply_entry(tctx, kFilters.begin(), true);
    std::string key(reinterpret_cast<const char *>(keys[0].val.buf.ptr), keys[0].val.buf.size);
    auto it = type == CONFD_FIND_SAME_OR_NEXT ? kFilters.lower_bound(key) : kFilters.upper_bound(key);
    return reply_entry(tctx, it, true);
}

TEST(CdbServices, CallpointListingAndLookupGoThroughTheDaemon)
{
    Sim sim;
    TestDaemon d(sim);
    g_daemon = &d;
    confd_trans_cbs trans{};
    trans.init = init_trans;
    ASSERT_EQ(confd_register_trans_cb(d.dx, &trans), CONFD_OK);
    confd_data_cbs data{};
    snprintf(data.callpoint, sizeof data.callpoint, "data-policy-filters");
    data.get_object = get_object;
    data.get_next_object = get_next_object;
    data.find_next_object = find_next_object;
    ASSERT_EQ(confd_register_data_cb(d.dx, &data), CONFD_OK);
    d.start();
    auto all = sim.cli({"show", "data-policy-filters", "--json"});
    ASSERT_EQ(all.rc, 0) << all.out;
    EXPECT_EQ(all.out,
              "{\"callpoint\":\"data-policy-filters\",\"keys\":[],\"entries\":[{\"name\":\"alpha\","
              "\"packets\":10},\n {\"name\":\"beta\",\"packets\":20},\n {\"name\":\"gamma\",\"packets\":30}]}\n");
    EXPECT_EQ(sim.cli({"show", "data-policy-filters"}).out, "name   packets\nalpha  10\nbeta   20\ngamma  30\n");
    EXPECT_EQ(sim.cli({"show", "data-policy-filters", "beta"}).out, "name  packets\nbeta  20\n");
    auto none = sim.cli({"show", "data-policy-filters", "delta", "--json"});
    EXPECT_EQ(none.rc, 0);
    EXPECT_NE(none.out.find("\"entries\":[]}"), std::string::npos) << none.out;
    // A listing from a key: the same entry or the next (only the first step may land on the key).
    for (const char *from : {"b", "beta"})
        EXPECT_EQ(sim.cli({"show", "data-policy-filters", "--from", from}).out,
                  "name   packets\nbeta   20\ngamma  30\n")
            << from;
    auto unknown = sim.cli({"show", "no-such-callpoint", "--json"});
    EXPECT_NE(unknown.rc, 0);
    EXPECT_EQ(unknown.out, "{\"callpoint\":\"no-such-callpoint\",\"keys\":[],\"error\":\"no list is served by "
                           "callpoint no-such-callpoint\"}\n");
    auto st = sim.cli({"status"}).out;
    EXPECT_NE(st.find("\"callpoints\":[\"data-policy-filters\"]"), std::string::npos) << st;
    g_daemon = nullptr;
}

int action_init(confd_user_info *uinfo)
{
    confd_action_set_fd(uinfo, g_daemon->worker);
    return CONFD_OK;
}

int dump_command(confd_user_info *uinfo, char *path, int argc, char **argv)
{
    maapi_cli_printf(g_daemon->maapi, uinfo->usid, "dump of %s (%d args)\n", path, argc);
    for (int i = 1; i < argc; i++)
        maapi_cli_printf(g_daemon->maapi, uinfo->usid, "arg %s\n", argv[i]);
    return CONFD_OK;
}

std::string g_param;
uint32_t g_param_tag = 0;

int clear_action(confd_user_info *uinfo, struct xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int nparams)
{
    if (nparams != 1 || params[0].v.type != C_BUF) {
        confd_action_seterr(uinfo, "expected one name");
        return CONFD_ERR;
    }
    g_param = reinterpret_cast<const char *>(params[0].v.val.buf.ptr);
    g_param_tag = params[0].tag.tag;
    confd_tag_value_t out;
    CONFD_SET_TAG_UINT32(&out, confd_str2hash("cleared"), 3);
    return confd_action_reply_values(uinfo, &out, 1);
}

TEST(CdbServices, ActionPointsRunCommandsAndActions)
{
    Sim sim;
    TestDaemon d(sim);
    g_daemon = &d;
    confd_action_cbs dump{};
    snprintf(dump.actionpoint, sizeof dump.actionpoint, "zel_dump_policy");
    dump.init = action_init;
    dump.command = dump_command;
    ASSERT_EQ(confd_register_action_cbs(d.dx, &dump), CONFD_OK);
    confd_action_cbs clear{};
    snprintf(clear.actionpoint, sizeof clear.actionpoint, "zel_clear_data_policy");
    clear.init = action_init;
    clear.action = clear_action;
    ASSERT_EQ(confd_register_action_cbs(d.dx, &clear), CONFD_OK);
    d.start();
    auto out = sim.cli({"request", "zel_dump_policy", "verbose", "yes"});
    ASSERT_EQ(out.rc, 0) << out.out;
    EXPECT_EQ(out.out, "dump of zel_dump_policy (3 args)\narg verbose\narg yes\n");
    auto cleared = sim.cli({"request", "zel_clear_data_policy", "name", "alpha"});
    ASSERT_EQ(cleared.rc, 0) << cleared.out;
    EXPECT_EQ(cleared.out, "cleared 3\n");
    EXPECT_EQ(g_param, "alpha");
    EXPECT_EQ(g_param_tag, test_fnv("name"));
    auto failed = sim.cli({"request", "zel_clear_data_policy"});
    EXPECT_NE(failed.rc, 0);
    EXPECT_NE(failed.out.find("expected one name"), std::string::npos) << failed.out;
    EXPECT_NE(sim.cli({"request", "zel_clear_data_policy", "colour", "red"}).rc, 0);
    g_daemon = nullptr;
}

TEST(CdbServices, NotificationsAndTrapsAreRecorded)
{
    Sim sim;
    TestDaemon d(sim);
    confd_notification_stream_cbs ncb{};
    snprintf(ncb.streamname, sizeof ncb.streamname, "ardenta");
    ncb.fd = d.worker;
    confd_notification_ctx *nctx = nullptr, *snmp = nullptr;
    ASSERT_EQ(confd_register_notification_stream(d.dx, &ncb, &nctx), CONFD_OK);
    ASSERT_EQ(confd_register_snmp_notification(d.dx, d.worker, "ardenta_snmpv2_trap", "", &snmp), CONFD_OK);
    d.start();
    uint32_t ns = 0x25640284, notif = confd_str2hash("policy-status");
    confd_tag_value_t tv[5];
    CONFD_SET_TAG_XMLBEGIN(&tv[0], notif, ns);
    CONFD_SET_TAG_ENUM_VALUE(&tv[1], confd_str2hash("priority"), 2);
    CONFD_SET_TAG_BUF(&tv[2], confd_str2hash("policy-name"), "p1", 2);
    CONFD_SET_TAG_BUF(&tv[3], confd_str2hash("status"), "Failed", 6);
    CONFD_SET_TAG_XMLEND(&tv[4], notif, ns);
    confd_datetime when{2024, 5, 6, 7, 8, 9, 0, 0, 0};
    ASSERT_EQ(confd_notification_send(nctx, &when, tv, 5), CONFD_OK);
    confd_snmp_varbind vb{};
    vb.type = CONFD_SNMP_VARIABLE;
    snprintf(vb.var.name, sizeof vb.var.name, "ardentaPolicyName");
    CONFD_SET_BUF(&vb.val, "p1", 2);
    ASSERT_EQ(confd_notification_set_snmp_notify_name(snmp, "ops"), CONFD_OK);
    ASSERT_EQ(confd_notification_send_snmp(snmp, "ardentaPolicyStatus", &vb, 1), CONFD_OK);
    // Notifications are one-way: poll the record a bounded number of times.
    CliResult notifs, traps;
    for (int i = 0; i < 100 && (notifs.out.empty() || traps.out.empty()); i++) {
        notifs = sim.cli({"notifications"});
        traps = sim.cli({"traps"});
        if (notifs.out.empty() || traps.out.empty())
            usleep(20000);
    }
    EXPECT_EQ(notifs.out, "{\"time\":\"2024-05-06T07:08:09\",\"stream\":\"ardenta\",\"notification\":\"policy-status\","
                          "\"values\":{\"priority\":\"medium\",\"policy-name\":\"p1\",\"status\":\"Failed\"}}\n");
    EXPECT_NE(traps.out.find("\"notify_name\":\"ops\""), std::string::npos) << traps.out;
    EXPECT_NE(traps.out.find("\"notification\":\"ardentaPolicyStatus\""), std::string::npos) << traps.out;
    EXPECT_NE(traps.out.find("{\"name\":\"ardentaPolicyName\",\"value\":\"p1\"}"), std::string::npos) << traps.out;
    auto st = sim.cli({"status"}).out;
    EXPECT_NE(st.find("\"streams\":[\"ardenta\"]"), std::string::npos) << st;
}

TEST(CdbServices, SchemaNamesPrintKeypathsAndEnumerations)
{
    Sim sim;
    confd_cs_node *prio = confd_cs_node_cd(nullptr, "/policy-status/priority");
    ASSERT_NE(prio, nullptr) << confd_lasterr();
    confd_value_t v;
    CONFD_SET_ENUM_VALUE(&v, 1);
    const char *name = nullptr;
    ASSERT_EQ(confd_val2str_ptr(prio->info.type, &v, &name), CONFD_OK);
    EXPECT_STREQ(name, "high");
    confd_hkeypath_t kp{};
    kp.len = 3;
    CONFD_SET_XMLTAG(&kp.v[2][0], confd_str2hash("vpn"), 0x0);
    kp.v[2][1].type = C_NOEXISTS;
    CONFD_SET_XMLTAG(&kp.v[1][0], confd_str2hash("vpn-instance"), 0x0);
    kp.v[1][1].type = C_NOEXISTS;
    CONFD_SET_UINT64(&kp.v[0][0], 12);
    kp.v[0][1].type = C_NOEXISTS;
    char buf[128];
    confd_pp_kpath(buf, sizeof buf, &kp);
    EXPECT_STREQ(buf, "/vpn/vpn-instance{12}");
    EXPECT_EQ(confd_str2hash("app-visibility"), 0x0bb0ec92u);
    EXPECT_EQ(confd_find_cs_root(0x25640284) != nullptr, true);
}

}  // namespace

namespace
{

// Input that holds no configuration never replaces the running one.
TEST(CdbCli, EmptyOrUnreadableInputIsRefusedAndChangesNothing)
{
    Sim sim;
    const std::string json = R"({"test-cdb:policy":{"lists":{"data-prefix-list":[{"name":"v1"}]}}})";
    ASSERT_EQ(sim.load(json).rc, 0);
    const std::string running = sim.cli({"show-config"}).out;
    ASSERT_NE(running.find("v1"), std::string::npos) << running;

    for (const char *content : {"", " \n\t\n", "{}"}) {
        SCOPED_TRACE(std::string("content \"") + content + "\"");
        auto r = sim.load(content, true);
        EXPECT_EQ(r.rc, 1) << r.out;
        EXPECT_NE(r.out.find("Error: "), std::string::npos) << r.out;
    }
    for (const char *cmd : {"load", "replace"}) {
        auto r = sim.cli({cmd, sim.state_dir()});
        EXPECT_EQ(r.rc, 1) << r.out;
        EXPECT_NE(r.out.find("not a regular file"), std::string::npos) << r.out;
    }
    EXPECT_EQ(sim.cli({"replace", sim.state_dir() + "/no-such-file.json"}).rc, 1);
    EXPECT_EQ(sim.cli({"show-config"}).out, running);

    auto cleared = sim.cli({"replace", "--empty"});
    EXPECT_EQ(cleared.rc, 0) << cleared.out;
    EXPECT_EQ(sim.cli({"show-config"}).out.find("v1"), std::string::npos);
}

}  // namespace
