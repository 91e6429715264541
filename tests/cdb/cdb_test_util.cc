#include "cdb_test_util.h"
#include "test_dirs.h"

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace
{

std::string read_all(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

}  // namespace

Sim::Sim(int phase)
{
    char tmpl[] = "/tmp/cdb-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
    start(phase, 0);
}

Sim::~Sim()
{
    stop();
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", dir_.c_str());
}

void Sim::start(int phase, int port)
{
    std::string bin = zel_test_build_dir() + "/bin/cdb-sim";
    std::string yang = zel_test_source_dir() + "/tests/cdb";
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        std::string ph = std::to_string(phase), po = std::to_string(port);
        if (phase < 0)  // the database's own default
            execl(bin.c_str(), bin.c_str(), "--port", po.c_str(), "--yang-dir", yang.c_str(), "--state-dir",
                  dir_.c_str(), static_cast<char *>(nullptr));
        else
            execl(bin.c_str(), bin.c_str(), "--port", po.c_str(), "--yang-dir", yang.c_str(), "--state-dir",
                  dir_.c_str(), "--phase", ph.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    std::string line;
    char c;
    while (read(p[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(p[0]);
    auto colon = line.rfind(':');
    ASSERT_NE(colon, std::string::npos) << "cdb-sim did not start: " << line;
    port_ = atoi(line.c_str() + colon + 1);
    sockaddr_in a = addr();
    ASSERT_EQ(confd_load_schemas(reinterpret_cast<sockaddr *>(&a), sizeof a), CONFD_OK) << confd_lasterr();
}

void Sim::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

sockaddr_in Sim::addr() const
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int Sim::cdb_socket(enum cdb_sock_type type)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = addr();
    if (cdb_connect(s, type, reinterpret_cast<sockaddr *>(&a), sizeof a) != CONFD_OK) {
        close(s);
        return -1;
    }
    return s;
}

CliResult Sim::cli(const std::vector<std::string> &args)
{
    std::string bin = zel_test_build_dir() + "/bin/cdb-cli";
    std::string po = std::to_string(port_);
    std::vector<const char *> argv{bin.c_str(), "--port", po.c_str()};
    for (auto &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int p[2];
    CliResult r;
    if (pipe(p) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        execv(bin.c_str(), const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    close(p[1]);
    r.out = read_all(p[0]);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

CliResult Sim::load(const std::string &json, bool replace)
{
    std::string f = dir_ + "/input.json";
    std::ofstream(f) << json;
    return cli({replace ? "replace" : "load", f});
}

void EventLog::add(const std::string &e)
{
    std::lock_guard<std::mutex> lk(mu_);
    events_.push_back(e);
}

std::vector<std::string> EventLog::all()
{
    std::lock_guard<std::mutex> lk(mu_);
    return events_;
}

Subscriber::Subscriber(Sim &sim, const std::string &name) : name_(name)
{
    sock_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = sim.addr();
    EXPECT_EQ(
        cdb_connect_name(sock_, CDB_SUBSCRIPTION_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a, name.c_str()),
        CONFD_OK);
}

Subscriber::~Subscriber()
{
    if (sock_ >= 0)
        shutdown(sock_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    if (sock_ >= 0)
        close(sock_);
}

int Subscriber::subscribe(int prio, const std::string &path, enum cdb_sub_type type)
{
    int id = -1;
    int rc = type == CDB_SUB_RUNNING ? cdb_subscribe(sock_, prio, 0, &id, "%s", path.c_str())
                                     : cdb_subscribe2(sock_, type, 0, prio, &id, 0, "%s", path.c_str());
    EXPECT_EQ(rc, CONFD_OK) << confd_lasterr();
    return id;
}

void Subscriber::run(std::function<bool(Subscriber &, const Notification &)> handler)
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
            if (!handler(*this, n))
                continue;
            enum cdb_subscription_sync_type st = n.type == CDB_SUB_OPER ? CDB_DONE_OPERATIONAL : CDB_DONE_PRIORITY;
            if (cdb_sync_subscription_socket(sock_, st) != CONFD_OK)
                return;
        }
    });
}

namespace
{

std::string kp_text(const confd_hkeypath_t *kp)
{
    char buf[512];
    confd_pp_kpath(buf, sizeof buf, kp);
    return buf;
}

std::string format_mods(const confd_tag_value_t *tv, int n)
{
    std::string s;
    for (int i = 0; i < n; i++) {
        const char *name = confd_hash2str(tv[i].tag.tag);
        std::string nm = name ? name : "?";
        char v[256];
        confd_pp_value(v, sizeof v, &tv[i].v);
        if (!s.empty())
            s += " ";
        switch (tv[i].v.type) {
        case C_XMLBEGIN:
            s += "BEGIN(" + nm + ")";
            break;
        case C_XMLBEGINDEL:
            s += "BEGINDEL(" + nm + ")";
            break;
        case C_XMLEND:
            s += "END(" + nm + ")";
            break;
        case C_NOEXISTS:
            s += nm + "=NOEXISTS";
            break;
        default:
            s += nm + "=" + v;
        }
    }
    return s;
}

struct DiffState {
    int sock;
    bool recurse;
    std::vector<std::string> *out;
};

enum cdb_iter_ret record(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *, confd_value_t *newv, void *state)
{
    auto *st = static_cast<DiffState *>(state);
    std::string line = std::to_string(op) + " " + kp_text(kp);
    if (newv) {
        char v[256];
        confd_pp_value(v, sizeof v, newv);
        line += std::string(" = ") + v;
    }
    if (op != MOP_DELETED) {
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        if (cdb_get_modifications_iter(st->sock, 0, &tv, &n) == CONFD_OK && op != MOP_VALUE_SET) {
            line += " [" + format_mods(tv, n) + "]";
        }
        for (int i = 0; i < n; i++)
            confd_free_value(&tv[i].v);
        free(tv);
    }
    st->out->push_back(line);
    return st->recurse ? ITER_RECURSE : ITER_CONTINUE;
}
}  // namespace

std::vector<std::string> diff_lines(int sock, int subid, bool recurse)
{
    std::vector<std::string> out;
    DiffState st{sock, recurse, &out};
    EXPECT_EQ(cdb_diff_iterate(sock, subid, record, 0, &st), CONFD_OK) << confd_lasterr();
    return out;
}
