#include "cfgd_harness.h"
#include "test_dirs.h"

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>

#include "common/timer.h"
#include "platform/cdb/confd_cdb.h"
#include "yang/zel_yang_hashes.h"

namespace
{

void tick_cb(evutil_socket_t, short, void *arg)
{
    timer_exec_pri(static_cast<timer_mgr *>(arg), TIMER_PRI_MASK_ALL, 100);
}

}  // namespace

CdbSim::CdbSim()
{
    char tmpl[] = "/tmp/cfgd-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
}

CdbSim::~CdbSim()
{
    stop();
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", dir_.c_str());
}

bool CdbSim::start(int port)
{
    std::string bin = zel_test_build_dir() + "/bin/cdb-sim";
    int p[2];
    if (pipe(p) != 0)
        return false;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        std::string po = std::to_string(port);
        execl(bin.c_str(), bin.c_str(), "--port", po.c_str(), "--state-dir", dir_.c_str(), "--phase", "2",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    std::string line;
    char c;
    while (read(p[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(p[0]);
    auto colon = line.rfind(':');
    if (colon == std::string::npos)
        return false;
    port_ = atoi(line.c_str() + colon + 1);
    setenv("CONFD_IPC_PORT", std::to_string(port_).c_str(), 1);
    return true;
}

SilentDatabase::SilentDatabase()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 1024) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port_ = ntohs(a.sin_port);
}

SilentDatabase::~SilentDatabase()
{
    if (fd_ >= 0)
        close(fd_);
}

void CdbSim::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int CdbSim::cli(const std::vector<std::string> &args, std::string *out) const
{
    std::string cmd = zel_test_build_dir() + "/bin/cdb-cli --port " + std::to_string(port_);
    for (auto &a : args)
        cmd += " '" + a + "'";
    cmd += " 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    if (f == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    int st = pclose(f);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int CdbSim::load_json(const std::string &json) const
{
    std::string file = dir_ + "/load-" + std::to_string(rand()) + ".json";
    std::ofstream(file) << json;
    return cli({"load", file});
}

bool CdbSim::set_prio_mask(uint32_t mask) const
{
    sockaddr_in a;
    cfgd_confd_addr(&a);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    bool ok = cdb_connect(s, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a) == CONFD_OK &&
              cdb_start_session(s, CDB_OPERATIONAL) == CONFD_OK;
    confd_value_t v;
    CONFD_SET_BIT32(&v, mask);
    ok = ok && cdb_set_elem(s, &v, "/cfgd-initial-read-priority") == CONFD_OK;
    close(s);
    return ok;
}

Loop::Loop()
{
    base_ = event_base_new();
    mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    tick_ = event_new(base_, -1, EV_PERSIST, tick_cb, mgr_);
    timeval tv{0, 10000};
    event_add(tick_, &tv);
}

Loop::~Loop()
{
    event_free(tick_);
    timer_mgr_destroy(mgr_);
    event_base_free(base_);
}

bool Loop::run_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        event_base_loop(base_, EVLOOP_ONCE);
    }
    return true;
}

void Loop::run_for(std::chrono::milliseconds d)
{
    auto end = std::chrono::steady_clock::now() + d;
    run_until([&] { return std::chrono::steady_clock::now() > end; }, d + std::chrono::seconds(1));
}

int run_cli_async(Loop &loop, const std::function<int()> &fn)
{
    auto f = std::async(std::launch::async, fn);
    loop.run_until([&] { return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                   std::chrono::seconds(20));
    return f.valid() ? f.get() : -1;
}

cfgd_module_params bare_module_params(Loop &loop, uint8_t module_id)
{
    static confd_valpoint_cb valpoints[1] = {};
    static confd_action_cbs actions[1] = {};
    static cfgd_sub_point points[1] = {};
    cfgd_module_params params{};
    params.app_ctx = &loop;
    params.sub_points = points;
    params.valpoints = valpoints;
    params.actionpoints = actions;
    params.register_cbs_cb = [](cfgd_context *) { return 0; };
    params.base = loop.base();
    params.timer_ctx = loop.timers();
    params.module_id = module_id;
    return params;
}

std::vector<confd_tag_value_t> policy_status(int prio, const char *policy, int extra)
{
    std::vector<confd_tag_value_t> v(7 + static_cast<size_t>(extra));
    CONFD_SET_TAG_XMLBEGIN(&v[0], zel_tag_policy_policy_status, zel_ns_policy);
    CONFD_SET_TAG_ENUM_VALUE(&v[1], zel_tag_policy_severity_level, prio);
    CONFD_SET_TAG_STR(&v[2], zel_tag_policy_host_name, "default");
    in_addr a;
    inet_pton(AF_INET, "192.0.2.1", &a);
    CONFD_SET_TAG_IPV4(&v[3], zel_tag_policy_system_ip, a);
    CONFD_SET_TAG_STR(&v[4], zel_tag_policy_policy_name, policy);
    for (size_t i = 5; i + 2 < v.size(); i++)
        CONFD_SET_TAG_STR(&v[i], zel_tag_policy_vpn_list_name, "vl");
    CONFD_SET_TAG_STR(&v[v.size() - 2], zel_tag_policy_status, "Failed");
    CONFD_SET_TAG_XMLEND(&v[v.size() - 1], zel_tag_policy_policy_status, zel_ns_policy);
    return v;
}
