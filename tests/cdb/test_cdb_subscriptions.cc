// Commit delivery through the client library: priorities, keypaths and values, pre-commit reads,
// failures, start phases; and input the CLI refuses.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/cdb/confd_cdb.h"
#include "platform/cdb/confd_maapi.h"
#include "sandbox.h"
#include "test_dirs.h"

namespace
{

struct CliResult {
    int rc = -1;
    std::string out;
};

// A private cdb-sim on a free port with the test module and its own state directory.
class Sim
{
public:
    explicit Sim(int phase = 2)
    {
        char tmpl[] = "/tmp/cdb-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        proc_ = e2e::Process::start({e2e::binary("cdb-sim"), "--port", "0", "--yang-dir",
                                     zel_test_source_dir() + "/tests/cdb", "--state-dir", dir_, "--phase",
                                     std::to_string(phase)});
        const auto line = proc_ ? proc_->wait_stdout_regex(std::regex(":[0-9]+$")) : std::nullopt;
        EXPECT_TRUE(line) << "cdb-sim did not start";
        port_ = line ? atoi(line->c_str() + line->rfind(':') + 1) : 0;
        sockaddr_in a = addr();
        EXPECT_EQ(confd_load_schemas(reinterpret_cast<sockaddr *>(&a), sizeof a), CONFD_OK) << confd_lasterr();
    }
    ~Sim()
    {
        proc_.reset();
        std::filesystem::remove_all(dir_);
    }
    sockaddr_in addr() const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    // A socket connected with cdb_connect; -1 on failure.
    int cdb_socket(enum cdb_sock_type type)
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = addr();
        if (cdb_connect(s, type, reinterpret_cast<sockaddr *>(&a), sizeof a) == CONFD_OK)
            return s;
        close(s);
        return -1;
    }
    // cdb-cli: its exit code, stdout and stderr.
    CliResult cli(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{e2e::binary("cdb-cli"), "--port", std::to_string(port_)};
        argv.insert(argv.end(), args.begin(), args.end());
        auto p = e2e::Process::start(argv, {.pipe_stdin = false});
        if (!p)
            return {};
        const int rc = e2e::exit_code(p->wait_exit());
        return {rc, p->stdout_text() + p->stderr_text()};
    }
    CliResult load(const std::string &json, bool replace = false)
    {
        EXPECT_TRUE(e2e::write_file(dir_ + "/input.json", json));
        return cli({replace ? "replace" : "load", dir_ + "/input.json"});
    }
    const std::string &state_dir() const { return dir_; }

private:
    std::string dir_;
    int port_ = 0;
    std::unique_ptr<e2e::Process> proc_;
};

// Ordered record of what happened across threads.
struct EventLog {
    void add(const std::string &e)
    {
        std::lock_guard<std::mutex> lk(mu);
        events.push_back(e);
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> lk(mu);
        return events;
    }
    std::mutex mu;
    std::vector<std::string> events;
};

struct Notification {
    enum cdb_sub_notification type;
    int flags;
    std::vector<int> ids;
};

// One subscription socket read by its own thread. The handler runs for every notification; the
// thread syncs afterwards unless the handler returns false.
class Subscriber
{
public:
    Subscriber(Sim &sim, const std::string &name) : name_(name)
    {
        sockaddr_in a = sim.addr();
        EXPECT_EQ(
            cdb_connect_name(sock_, CDB_SUBSCRIPTION_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a, name.c_str()),
            CONFD_OK);
    }
    ~Subscriber()
    {
        shutdown(sock_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(sock_);
    }
    int subscribe(int prio, const std::string &path, enum cdb_sub_type type = CDB_SUB_RUNNING)
    {
        int id = -1;
        int rc = type == CDB_SUB_RUNNING ? cdb_subscribe(sock_, prio, 0, &id, "%s", path.c_str())
                                         : cdb_subscribe2(sock_, type, 0, prio, &id, 0, "%s", path.c_str());
        EXPECT_EQ(rc, CONFD_OK) << confd_lasterr();
        return id;
    }
    void run(std::function<bool(Subscriber &, const Notification &)> handler)
    {
        ASSERT_EQ(cdb_subscribe_done(sock_), CONFD_OK);
        thread_ = std::thread([this, handler] {
            for (;;) {
                Notification n;
                int *ids = nullptr, len = 0;
                if (cdb_read_subscription_socket2(sock_, &n.type, &n.flags, &ids, &len) != CONFD_OK)
                    return;
                n.ids.assign(ids, ids + len);
                free(ids);
                if (handler(*this, n) &&
                    cdb_sync_subscription_socket(sock_, n.type == CDB_SUB_OPER ? CDB_DONE_OPERATIONAL
                                                                               : CDB_DONE_PRIORITY) != CONFD_OK)
                    return;
            }
        });
    }
    int sock() const { return sock_; }
    const std::string &name() const { return name_; }

private:
    int sock_ = socket(AF_INET, SOCK_STREAM, 0);
    std::string name_;
    std::thread thread_;
};

std::string pp(const confd_value_t *v)
{
    char buf[256];
    confd_pp_value(buf, sizeof buf, v);
    return buf;
}

// Per change cdb_diff_iterate reports, recursing: "op keypath[ = new value][ [tag=value...]]".
std::vector<std::string> diff_lines(int sock, int subid)
{
    struct state {
        int sock;
        std::vector<std::string> out;
    } st{sock, {}};
    auto record = [](confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *, confd_value_t *newv,
                     void *arg) -> cdb_iter_ret {
        auto *st = static_cast<state *>(arg);
        char path[512];
        confd_pp_kpath(path, sizeof path, kp);
        std::string line = std::to_string(op) + " " + path + (newv ? " = " + pp(newv) : "");
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        if (op != MOP_DELETED && cdb_get_modifications_iter(st->sock, 0, &tv, &n) == CONFD_OK && op != MOP_VALUE_SET) {
            std::string mods;
            for (int i = 0; i < n; i++)
                mods += (i ? " " : "") + std::string(confd_hash2str(tv[i].tag.tag)) + "=" +
                        (tv[i].v.type == C_NOEXISTS ? "NOEXISTS" : pp(&tv[i].v));
            line += " [" + mods + "]";
        }
        for (int i = 0; i < n; i++)
            confd_free_value(&tv[i].v);
        free(tv);
        st->out.push_back(line);
        return ITER_RECURSE;
    };
    EXPECT_EQ(cdb_diff_iterate(sock, subid, record, 0, &st), CONFD_OK) << confd_lasterr();
    return st.out;
}

const char *kLists = R"({"test-cdb:policy":{"lists":{
  "data-prefix-list":[{"name":"p1","description":"d","options":{"a":"x"}}],
  "app-list":[{"name":"web","app":["http"]}]}}})";

const char *kVpn = R"({"test-cdb:vpn":{"vpn-instance":[{"vpn-id":"1","vrf-id":7,
  "interface":[{"if-name":"ge0","access-list":[{"direction":"in","acl-name":"A"}]}]}]}})";

// A subscriber that vanishes instead of syncing is dropped and delivery goes on.
TEST(CdbDelivery, LowerPrioritiesFirstAndNextOnlyAfterEverySyncOrAVanishedSubscriber)
{
    Sim sim;
    EventLog log;
    Subscriber a(sim, "alpha"), b(sim, "beta"), gone(sim, "gone");
    int a1 = a.subscribe(1, "/policy/lists/data-prefix-list");
    int a6 = a.subscribe(6, "/vpn/vpn-instance");
    int b3 = b.subscribe(3, "/policy/lists/app-list");
    b.subscribe(2, "/policy/app-visibility");  // not touched: never notified
    int g2 = gone.subscribe(2, "/policy/lists/app-list");
    auto handler = [&](Subscriber &s, const Notification &n) {
        for (int id : n.ids)
            log.add(s.name() + " got " + std::to_string(id));
        if (&s == &gone)
            shutdown(s.sock(), SHUT_RDWR);
        else
            log.add(s.name() + " sync");
        return &s != &gone;
    };
    a.run(handler);
    b.run(handler);
    gone.run(handler);
    auto r = sim.load(std::string(R"({"test-cdb:policy":{"lists":{"data-prefix-list":[{"name":"p1"}],)"
                                  R"("app-list":[{"name":"web"}]}},)") +
                      std::string(kVpn).substr(1));
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.out, "commit complete\n");
    EXPECT_EQ(log.all(), (std::vector<std::string>{"alpha got " + std::to_string(a1), "alpha sync",
                                                   "gone got " + std::to_string(g2), "beta got " + std::to_string(b3),
                                                   "beta sync", "alpha got " + std::to_string(a6), "alpha sync"}));
    EXPECT_NE(sim.cli({"show-config"}).out.find("\"web\""), std::string::npos);
    EXPECT_EQ(sim.load(R"({"test-cdb:policy":{"app-visibility":false}})").rc, 0);
}

TEST(CdbDelivery, KeypathsOperationsAndValues)
{
    Sim sim;
    Subscriber s(sim, "lists");
    int id = s.subscribe(1, "/policy/lists/app-list");
    EventLog log;  // the changes of each commit, then "-"
    s.run([&](Subscriber &sub, const Notification &) {
        for (const std::string &line : diff_lines(sub.sock(), id))
            log.add(line);
        log.add("-");
        return true;
    });
    auto apps = [](const std::string &list) {
        return R"({"test-cdb:policy":{"lists":{"app-list":[{"name":"web")" + list + "}]}}}";
    };
    ASSERT_EQ(sim.load(apps(R"(,"app":["http"])")).rc, 0);
    ASSERT_EQ(sim.load(apps(R"(,"app":["http","https"])"), true).rc, 0);
    ASSERT_EQ(sim.load(apps(""), true).rc, 0);
    ASSERT_EQ(sim.cli({"delete", "/policy/lists/app-list{web}"}).rc, 0);
    EXPECT_EQ(
        log.all(),
        (std::vector<std::string>{
            "1 /policy/lists/app-list{web} [name=web app=[http]]", "4 /policy/lists/app-list{web}/name = web",
            "4 /policy/lists/app-list{web}/app = [http]", "-", "3 /policy/lists/app-list{web} [app=[http https]]",
            "4 /policy/lists/app-list{web}/app = [http https]", "-", "3 /policy/lists/app-list{web} [app=NOEXISTS]",
            "2 /policy/lists/app-list{web}/app", "-", "2 /policy/lists/app-list{web}", "-"}));
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

// Bad input, and input that holds no configuration, is refused with its reason and changes nothing;
// only replace --empty deletes everything.
TEST(CdbCli, BadEmptyOrUnreadableInputIsRefusedAndChangesNothing)
{
    Sim sim;
    ASSERT_EQ(sim.load(kVpn).rc, 0);
    const std::string running = sim.cli({"show-config"}).out;
    const std::string dir = sim.state_dir();
    const std::pair<CliResult, const char *> refused[] = {
        {sim.load("{\"test-cdb:vpn\": "), "invalid configuration"},
        {sim.load(R"({"test-cdb:vpn":{"vpn-instance":[{"vpn-id":"1","vrf-id":"seven"}]}})"), "vrf-id"},
        {sim.load(R"({"test-cdb:vpn":{"colour":"red"}})"), ""},
        {sim.cli({"delete", "/vpn/vpn-instance{2}"}), ""},
        {sim.cli({"delete", "/vpn/nothing"}), ""},
        {sim.load("", true), "Error: "},
        {sim.load(" \n\t\n", true), "Error: "},
        {sim.load("{}", true), "Error: "},
        {sim.cli({"load", dir}), "not a regular file"},
        {sim.cli({"replace", dir}), "not a regular file"},
        {sim.cli({"replace", dir + "/no-such-file.json"}), "Error: "},
    };
    for (const auto &[r, why] : refused) {
        EXPECT_EQ(r.rc, 1) << r.out;
        EXPECT_NE(r.out.find(why), std::string::npos) << why << ": " << r.out;
    }
    EXPECT_EQ(sim.cli({"show-config"}).out, running);

    auto cleared = sim.cli({"replace", "--empty"});
    EXPECT_EQ(cleared.rc, 0) << cleared.out;
    EXPECT_EQ(sim.cli({"show-config"}).out.find("vrf-id"), std::string::npos);
}

}  // namespace
