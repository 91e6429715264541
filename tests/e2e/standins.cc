#include "standins.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "cfgd_harness.h"

namespace e2e
{

using namespace std::chrono_literals;

std::string Prefix::text() const
{
    char b[24];
    snprintf(b, sizeof b, "%u.%u.%u.%u/%d", addr >> 24, addr >> 16 & 255, addr >> 8 & 255, addr & 255, len);
    return b;
}

std::string sequence_json(int num, const std::vector<std::string> &matches, bool drop)
{
    std::string o = R"({"number":)" + std::to_string(num) + R"(,"match":{)";
    for (size_t k = 0; k < matches.size(); k++)
        o += (k ? "," : "") + matches[k];
    return o + R"(},"action":{"base-action":")" + (drop ? "drop" : "accept") + R"(","count":"c)" + std::to_string(num) +
           R"("}})";
}

void StandIns::SetUp()
{
    SandboxTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    char tmpl[] = "/run/standins-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    unsetenv("CONFD_IPC_PORT");
    ASSERT_EQ(use_sim_size(sim_size()), "");
    fp_ = start_fp_sim();
    ASSERT_TRUE(fp_);
    cdb_ = Process::start({binary("cdb-sim"), "--state-dir", dir_, "--phase", "2"});
    ASSERT_TRUE(cdb_ && cdb_->wait_stdout_regex(std::regex(":4565")));
    CdbSim writer;  // its address and operational writer only
    ASSERT_TRUE(writer.set_prio_mask(0x7));
    krod_ = Process::start({binary("krod-sim")});
    ASSERT_TRUE(krod_);
    start_zeld();
    pxrd_ = Process::start({binary("pxrd-sim")});
    ASSERT_TRUE(pxrd_ && pxrd_->wait_stdout_line("\"up\""));
}

void StandIns::TearDown()
{
    if (zeld_ && zeld_->running()) {
        zeld_->signal(SIGUSR2);
        EXPECT_EQ(exit_code(zeld_->wait_exit()), 0) << zeld_->stderr_text();
    }
}

void StandIns::start_zeld()
{
    size_t cur = syslog().mark();
    zeld_ = Process::start({binary("zeld"), "-f"});
    ASSERT_TRUE(zeld_);
    ASSERT_TRUE(syslog().wait_for_regex(std::regex("Initialization - Stage 2 complete"), kWait, &cur))
        << syslog().dump();
}

std::string StandIns::cli(const std::vector<std::string> &args, int *rc)
{
    std::vector<std::string> argv{binary("cdb-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = Process::start(argv);
    auto st = p->wait_exit();
    if (rc)
        *rc = exit_code(st);
    return p->stdout_text() + p->stderr_text();
}

int StandIns::commit(const std::string &how, const std::string &json, std::string *out)
{
    const std::string path = dir_ + "/config.json";
    EXPECT_TRUE(write_file(path, json));
    int rc = -1;
    std::string text = cli({how, path}, &rc);
    if (out)
        *out = text;
    return rc;
}

std::smatch StandIns::pxrd_line(const std::string &re, size_t *cursor, std::chrono::milliseconds wait)
{
    std::smatch m;
    auto line = pxrd_->wait_stdout_regex(std::regex(re), wait, cursor);
    if (line) {
        static std::string kept;
        kept = *line;
        std::regex_search(kept, m, std::regex(re));
    }
    return m;
}

// Each priority of a commit is a pass of its own, and a pass that finds no program memory is retried
// when the programs it replaced are released: only silence says that it is over.
std::string StandIns::quiet_output(const std::string &must)
{
    std::string text = pxrd_->stdout_text();
    for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(800ms);
        std::string now = pxrd_->stdout_text();
        if (now == text && (must.empty() || std::regex_search(now, std::regex(must))))
            break;
        text = now;
    }
    return text;
}

size_t StandIns::pxrd_quiet()
{
    const std::string t = quiet_output("");
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
}

int StandIns::settled_filter(const std::string &name)
{
    // pxrd's registration is answered with vpn-list names, hence a regular expression.
    const std::string text = quiet_output("\"name\":\"(" + name + ")\"");
    std::smatch last;
    const std::regex re(R"re("event":"(bind|unbind)".*"filter_index":(\d+),"name":"()re" + name + ")\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        last = *it;
    if (last.empty() || last[1] != "bind" || std::stoi(last[2]) >= 256)
        return -1;
    return std::stoi(last[2]);
}

size_t StandIns::pxrd_lines() const
{
    const std::string t = pxrd_->stdout_text();
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
}

std::vector<std::string> StandIns::run_file(int filter, const std::string &path)
{
    auto p = Process::start({binary("fp-sim"), "run", "--filter", std::to_string(filter), path}, {.pipe_stdin = false});
    EXPECT_EQ(exit_code(p->wait_exit()), 0) << p->stderr_text();
    std::vector<std::string> out;
    std::istringstream in(p->stdout_text());
    for (std::string l; std::getline(in, l);)
        if (l.starts_with("packet "))
            out.push_back(l);
    return out;
}

std::vector<std::string> StandIns::run_trace(int filter, const std::string &trace)
{
    const std::string path = dir_ + "/trace";
    EXPECT_TRUE(write_file(path, trace));
    return run_file(filter, path);
}

}  // namespace e2e
