// Faults end to end: each peer and zeld killed with SIGKILL and started again, in the middle of a
// large commit too, and commits made while zeld was away from the database. Afterwards pxrd-sim
// holds the bindings, and fp-sim gives every packet of a trace the verdict, that a clean start of zeld
// with the same configuration gives.
#include "standins.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "cfgd_harness.h"

namespace
{

using e2e::kWait;
using namespace std::chrono_literals;

// The handlers' examples (all but the ones that are invalid on purpose) in name order.
std::vector<std::string> example_files()
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(ZEL_TEST_SOURCE_DIR "/examples"))
        if (e.path().extension() == ".json" && !e.path().filename().string().starts_with("invalid"))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// A data policy of n sequences on a list of its own: big enough that zeld takes a while over it.
std::string bulk_policy(int n, bool flip)
{
    std::ostringstream o;
    o << R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"bulk-vpns","vpn":[{"id":"300-301"}]}]},)"
      << R"("data-policy":[{"name":"bulk","direction":"from-service","vpn-list":[{"name":"bulk-vpns",)"
      << R"("default-action":"accept","sequence":[)";
    for (int i = 0; i < n; i++)
        o << (i ? "," : "") << R"({"number":)" << 10 * (i + 1) << R"(,"match":{"destination-ip":["10.)" << 200 + i / 256
          << '.' << i % 256 << R"(.0/24"],"protocol":[)" << (i % 3 ? 6 : 17) << R"(]},"action":{"base-action":")"
          << ((i % 2) != flip ? "drop" : "accept") << R"(","count":"b)" << i << R"("}})";
    o << "]}]}]}}";
    return o.str();
}

// Packets towards the examples' prefixes, the bulk policy's and anywhere, as a ClassBench trace.
std::string make_trace()
{
    std::vector<std::pair<uint32_t, int>> nets = {{0x0AC80000u, 13}, {0, 0}};
    for (const std::string &f : example_files()) {
        const std::string text = e2e::read_file(f).value_or("");
        const std::regex re(R"re("(\d+)\.(\d+)\.(\d+)\.(\d+)/(\d+)")re");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
            const auto &m = *it;
            nets.emplace_back(std::stoul(m[1]) << 24 | std::stoul(m[2]) << 16 | std::stoul(m[3]) << 8 |
                                  std::stoul(m[4]),
                              std::stoi(m[5]));
        }
    }
    std::mt19937 rng(4242);
    auto addr = [&] {
        auto [net, len] = nets[rng() % nets.size()];
        return len == 0 ? static_cast<uint32_t>(rng()) : net | (static_cast<uint32_t>(rng()) >> len);
    };
    const int ports[] = {22, 53, 80, 443, 830, 8000, 8080, 5060};
    const int protos[] = {6, 17, 1, 6};
    std::ostringstream o;
    for (int i = 0; i < 600; i++)
        o << addr() << '\t' << addr() << '\t' << 1024 + rng() % 60000 << '\t' << ports[rng() % 8] << '\t'
          << protos[rng() % 4] << "\t0\t0\n";
    return o.str();
}

class FaultsE2e : public e2e::StandIns
{
protected:
    // Each binding pxrd-sim holds, without its filter number and name (a clean start may choose other
    // numbers, and announces vpn-lists by their own name), with the verdicts of the trace through it.
    // A binding to the unbound index names no filter: zeld announces one for each vpn-list not yet
    // compiled when pxrd registers, so whether it is there depends only on that timing.
    using State = std::map<std::string, std::string>;

    bool with_sysmgr() const override { return true; }
    void SetUp() override
    {
        StandIns::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(e2e::write_file(dir_ + "/trace", make_trace()));
        for (const std::string &f : example_files()) {
            int rc = -1;
            std::string out = cli({"load", f}, &rc);
            ASSERT_EQ(rc, 0) << f << ": " << out;
        }
    }

    // The verdict lines of the trace through filter slot `filter`; policing and the slot's number
    // are left out, as they depend on when the packets pass and which slot was free.
    std::string verdicts(const std::string &filter)
    {
        auto p = e2e::Process::start({e2e::binary("fp-sim"), "run", "--filter", filter, dir_ + "/trace"},
                                     {.pipe_stdin = false});
        auto st = p->wait_exit();
        std::string text =
            std::regex_replace(p->stdout_text(), std::regex(" dropped|^filter \\d+", std::regex::multiline), "");
        return "exit " + std::to_string(e2e::exit_code(st)) + "\n" + text + p->stderr_text();
    }

    State state()
    {
        size_t cur = pxrd_lines();
        const size_t start = cur;
        EXPECT_TRUE(pxrd_->write_stdin("bindings"));
        EXPECT_TRUE(pxrd_->wait_stdout_line("\"event\":\"bindings\"", kWait, &cur)) << pxrd_->stdout_text();
        State s;
        std::map<std::string, std::string> by_filter;
        const std::regex entry(R"re(^\{"event":"(binding|attached)",(.*),"filter_index":(\d+),"name":".*"\}$)re");
        for (size_t at = start; auto line = pxrd_->wait_stdout_regex(entry, 0ms, &at);) {
            std::smatch m;
            if (at >= cur || !std::regex_match(*line, m, entry))
                break;
            if (m[3] == "4294967295")
                continue;
            auto [it, fresh] = by_filter.try_emplace(m[3]);
            if (fresh)
                it->second = verdicts(m[3]);
            s[m[1].str() + " " + m[2].str()] = it->second;
        }
        return s;
    }

    bool delivering() { return cli({"status"}).find("\"delivering\":true") != std::string::npos; }

    // The state once it has stopped changing (no binding at all counts as not yet settled). A large
    // policy keeps zeld busy inside one delivery for longer than the samples are apart.
    State settled()
    {
        State last, now;
        if (e2e::poll_until(
                [&] {
                    if (delivering()) {
                        last.clear();
                        return false;
                    }
                    now = state();
                    return std::exchange(last, now) == now && !now.empty();
                },
                4 * kWait, 1500ms))
            return now;
        ADD_FAILURE() << "the bindings do not settle: " << pxrd_->stdout_text();
        expect_same(last, state());
        return last;
    }

    // Fails for each binding that differs, with the first verdict line that does.
    static void expect_same(const State &want, const State &now)
    {
        for (const auto &[k, v] : want) {
            auto it = now.find(k);
            if (it == now.end()) {
                ADD_FAILURE() << "missing: " << k;
                continue;
            }
            std::istringstream a(v), b(it->second);
            for (std::string la, lb; static_cast<bool>(std::getline(a, la)) | static_cast<bool>(std::getline(b, lb));)
                if (la != lb) {
                    ADD_FAILURE() << k << ": \"" << lb << "\" where \"" << la << "\" was wanted";
                    break;
                }
        }
        for (const auto &[k, v] : now)
            if (!want.count(k))
                ADD_FAILURE() << "extra: " << k;
    }

    // Polls until the state equals want; false (with the difference) when it does not in time.
    bool reaches(const State &want)
    {
        State now;
        if (e2e::poll_until([&] { return (now = state()) == want; }, 4 * kWait, 1s))
            return true;
        expect_same(want, now);
        return false;
    }

    // zeld has subscribed to the database again.
    void wait_zeld_subscribed()
    {
        ASSERT_TRUE(e2e::poll_until([&] {
            return cli({"status"}).find("\"name\":\"zeld\",\"subscriptions\":[{") != std::string::npos;
        })) << syslog().dump();
    }
    void kill9(std::unique_ptr<e2e::Process> &p)
    {
        p->signal(SIGKILL);
        p->wait_exit();
    }
    // Starts a commit without waiting for it and returns once the database is delivering it.
    std::unique_ptr<e2e::Process> commit_in_background(const std::string &json)
    {
        const std::string path = dir_ + "/bulk.json";
        EXPECT_TRUE(e2e::write_file(path, json));
        auto p = e2e::Process::start({e2e::binary("cdb-cli"), "load", path});
        e2e::poll_until([&] { return delivering(); }, 6s, 20ms);
        return p;
    }
    // A clean start of zeld with the database as it is now: the reference.
    State clean_start()
    {
        zeld_->signal(SIGUSR2);
        EXPECT_EQ(e2e::exit_code(zeld_->wait_exit()), 0);
        start_zeld();
        return settled();
    }
};

TEST_F(FaultsE2e, KillingAnyPeerOrZeldLeavesBindingsAndVerdictsOfACleanStart)
{
    const State ref = settled();
    ASSERT_FALSE(ref.empty());
    ASSERT_GE(ref.size(), 4u) << "policies and access lists are bound";
    struct Peer {
        const char *name;
        std::unique_ptr<e2e::Process> *proc;
        std::vector<std::string> argv;
    };
    const std::vector<Peer> peers = {
        {"pxrd-sim", &pxrd_, {e2e::binary("pxrd-sim")}},
        {"krod-sim", &krod_, {e2e::binary("krod-sim")}},
        {"sysmgr-sim", &sysmgr_, {e2e::binary("sysmgr-sim")}},
        {"fp-sim", &fp_, {}},
        {"cdb-sim", &cdb_, {}},
        {"zeld", &zeld_, {}},
    };
    for (const Peer &peer : peers) {
        SCOPED_TRACE(peer.name);
        kill9(*peer.proc);
        if (peer.proc == &fp_) {
            fp_ = e2e::start_fp_sim();
            ASSERT_TRUE(fp_);
        } else if (peer.proc == &cdb_) {
            start_cdb();
            wait_zeld_subscribed();
        } else if (peer.proc == &zeld_) {
            start_zeld();
        } else {
            *peer.proc = e2e::Process::start(peer.argv);
            ASSERT_TRUE(*peer.proc);
        }
        EXPECT_TRUE(reaches(ref));
    }

    // zeld killed in the middle of a large commit: the next zeld reads it whole.
    auto load = commit_in_background(bulk_policy(1500, false));
    kill9(zeld_);
    start_zeld();
    EXPECT_EQ(e2e::exit_code(load->wait_exit(4 * kWait)), 0) << load->stderr_text();
    const State bulk = settled();
    EXPECT_GT(bulk.size(), ref.size());

    // The database killed in the middle of the next one: zeld catches up on whatever it kept.
    load = commit_in_background(bulk_policy(1200, true));
    kill9(cdb_);
    load->wait_exit();
    start_cdb();
    wait_zeld_subscribed();
    const State after = settled();
    EXPECT_TRUE(zeld_->running());
    expect_same(clean_start(), after);
}

// Changes committed while zeld is cut off from the database (stopped while the database restarts):
// a deleted policy, a changed sequence and a new access list attached to an interface.
TEST_F(FaultsE2e, CommitsMadeWhileZeldIsDisconnectedAreAppliedOnReconnect)
{
    const State before = settled();
    ASSERT_FALSE(before.empty());
    size_t mark = syslog().mark();
    zeld_->signal(SIGSTOP);
    kill9(cdb_);
    start_cdb();
    int rc = -1;
    std::string out = cli({"delete", "/policy-from-ostrel/app-route-policy{corp-app-route}"}, &rc);
    ASSERT_EQ(rc, 0) << out;
    apply(R"({"ardenta-policy:policy-from-ostrel":{"data-policy":[{"name":"corp-data",
        "vpn-list":[{"name":"corp-vpns","sequence":[{"number":10,"action":{"base-action":"drop"}}]}]}]}})");
    apply(R"({"ardenta-policy:policy":{"access-list":[{"name":"acl-new","default-action":"drop",
        "sequence":[{"number":5,"match":{"protocol":[17]},"action":{"base-action":"accept","count":"new-udp"}}]}]},
        "ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"20","vrf-id":20,"interface":[{"if-name":"ge1/0",
        "access-list":[{"direction":"in","acl-name":"acl-new"}]}]}]}})");
    zeld_->signal(SIGCONT);
    wait_zeld_subscribed();

    const State caught = settled();
    EXPECT_NE(caught, before);
    EXPECT_TRUE(std::any_of(caught.begin(), caught.end(),
                            [](auto &kv) { return kv.first.find("ge1/0") != std::string::npos; }));
    EXPECT_FALSE(
        syslog().wait_for_regex(std::regex("failed assertion|Failed to (add|delete|change|find|update)"), 0ms, &mark))
        << syslog().dump();
    expect_same(clean_start(), caught);
}

}  // namespace
