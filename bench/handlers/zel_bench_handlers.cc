// Commit-to-binding latency of a data policy: `cdb-cli load` of N sequences (source and destination
// prefixes, a protocol and a port range each) until pxrd-sim prints the binding, then one sequence
// changed until the new binding. The build and compile share is measured in this process on the same
// policy, through the model operations and the commit pass with heap program memory.
//
//   zel_bench_handlers [SEQUENCES [RUNS]]      (root: it runs in the test sandbox)
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>

#include "cfgd/cfgd_api.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "dataplane/fp_common.h"
#include "fp_sim_harness.h"
#include "platform/cdb/confd_cdb.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_rules.h"
#include "sandbox.h"

namespace
{

using clk = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Seq {
    uint32_t src, dst;
    int proto, lo, hi;
};

std::vector<Seq> sequences(int n)
{
    std::vector<Seq> out;
    uint32_t x = 12345;
    auto rnd = [&] { return x = x * 1103515245u + 12345u; };
    for (int i = 0; i < n; i++)
        out.push_back({0x0A000000u | (rnd() >> 8 & 0xFFFF00u), 0xC0A80000u | (rnd() >> 16 & 0xFF00u),
                       (rnd() >> 16 & 1) ? 6 : 17, static_cast<int>(rnd() >> 16 & 0x7FFF), 0});
    for (auto &s : out)
        s.hi = s.lo + 100;
    return out;
}

std::string dotted(uint32_t a, int len)
{
    char b[24];
    snprintf(b, sizeof b, "%u.%u.%u.%u/%d", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255, len);
    return b;
}

std::string json(const std::vector<Seq> &seqs)
{
    std::ostringstream o;
    o << R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"bench-vpns","vpn":[{"id":"10-19"}]}]},)"
      << R"("data-policy":[{"name":"bench","vpn-list":[{"name":"bench-vpns","default-action":"drop","sequence":[)";
    for (size_t i = 0; i < seqs.size(); i++) {
        const Seq &s = seqs[i];
        o << (i ? "," : "") << R"({"number":)" << (i + 1) * 10 << R"(,"match":{"source-ip":[")" << dotted(s.src, 24)
          << R"("],"destination-ip":[")" << dotted(s.dst, 24) << R"("],"protocol":[)" << s.proto
          << R"(],"destination-port":[")" << s.lo << "-" << s.hi << R"("]},"action":{"base-action":"accept"}})";
    }
    o << "]}]}]}}";
    return o.str();
}

std::string cli(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{e2e::binary("cdb-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = e2e::Process::start(argv);
    p->wait_exit();
    return p->stdout_text() + p->stderr_text();
}

// Milliseconds from the start of `cdb-cli CMD FILE` until pxrd-sim's next "bind" line for "bench".
double commit_to_bind(e2e::Process &pxrd, const std::string &cmd, const std::string &file)
{
    const std::string seen = pxrd.stdout_text();
    size_t cur = static_cast<size_t>(std::count(seen.begin(), seen.end(), '\n'));
    const auto t0 = clk::now();
    cli({cmd, file});
    if (!pxrd.wait_stdout_regex(std::regex(R"("event":"bind".*"name":"bench")"), 30s, &cur))
        return -1;
    return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

// fp-sim's listing of its filter slots ("filters: N/M valid ...").
std::string fp_filters()
{
    auto show = e2e::Process::start({e2e::binary("fp-sim"), "show"}, {.pipe_stdin = false});
    show->wait_exit();
    const std::string t = show->stdout_text();
    const size_t at = t.find("filters:");
    return at == std::string::npos ? std::string() : t.substr(at);
}

// Until the forwarding plane holds at most `valid` programs: a replaced program's memory is released
// only then, and a change measured before would take the out-of-memory path.
void wait_released(int valid)
{
    e2e::poll_until(
        [&] {
            const std::string f = fp_filters();
            return f.rfind("filters: " + std::to_string(valid) + "/", 0) == 0;
        },
        10s);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The rule-table build and the compile of the same policy in this process.
void in_process(const std::vector<Seq> &seqs, int runs, double *build_ms, double *compile_ms)
{
    zel_prog_heap *heap = zel_prog_heap_new(1u << 20, 8);
    program_allocator mem = zel_prog_heap_allocator(heap);
    zel_ctx ctx{};
    ctx.compile.program_memory = &mem;
    zel_kro_table_init(&ctx);
    zel_policy_db_init(&ctx, 8);
    zel_fwd_class_init(&ctx);
    zel_sla_class_init(&ctx);
    ctx.compile.compiler = zel_compile_context_new(&mem);
    zel_config_vpn_list_add(&ctx, "V");
    zel_config_policy_add(&ctx, ZEL_POLICY_TYPE_DATA, "bench", 3);
    zel_config_policy_vpn_list_add(&ctx, ZEL_POLICY_TYPE_DATA, "bench", "V", ZEL_ACT_REJECT, nullptr);
    for (size_t i = 0; i < seqs.size(); i++) {
        zel_sequence *s;
        const uint32_t num = static_cast<uint32_t>(i + 1) * 10;
        zel_config_rule_add(&ctx, ZEL_POLICY_TYPE_DATA, "bench", "V", num, &s);
        zel_match_value v{};
        for (auto [field, addr] : {std::pair{ZEL_MATCH_SRC_ADDR, seqs[i].src}, {ZEL_MATCH_DST_ADDR, seqs[i].dst}}) {
            v = {};
            for (int b = 0; b < 4; b++)
                v.addr[b] = static_cast<uint8_t>(addr >> (24 - 8 * b));
            v.length = 24;
            zel_config_match_add(&ctx, field, &v, s);
        }
        v = {};
        v.low = v.high = static_cast<uint32_t>(seqs[i].proto);
        zel_config_match_add(&ctx, ZEL_MATCH_PROTOCOL, &v, s);
        v.low = static_cast<uint32_t>(seqs[i].lo);
        v.high = static_cast<uint32_t>(seqs[i].hi);
        zel_config_match_add(&ctx, ZEL_MATCH_DST_PORT, &v, s);
        zel_config_action_add(&ctx, ZEL_POLICY_TYPE_DATA, "bench", "V", num, ZEL_ACT_ACCEPT, 0, nullptr);
    }
    zel_policy *p;
    zel_policy_vpn_list *pvl;
    zel_config_policy_find(&ctx, ZEL_POLICY_TYPE_DATA, "bench", &p);
    zel_config_policy_vpn_list_find(&ctx, ZEL_POLICY_TYPE_DATA, "bench", "V", &pvl);
    std::vector<double> b, c;
    for (int r = 0; r < runs; r++) {
        const auto t0 = clk::now();
        rule_table *rt = nullptr;
        zel_policy_rule_table(&ctx, p, pvl, &rt);
        const auto t1 = clk::now();
        void *image = nullptr;
        uint32_t size = 0;
        int rc = zel_compile(ctx.compile.compiler, rt, &image, &size);
        const auto t2 = clk::now();
        if (rc != 0)
            fprintf(stderr, "in-process compile: %d\n", rc);
        else if (r == 0)
            printf("program image: %u bytes\n", size);
        b.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        c.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
        zel_program_free(&mem, image);
        zel_rule_table_free(rt);
        zel_compile_context_reset(ctx.compile.compiler);
    }
    *build_ms = median(b);
    *compile_ms = median(c);
    zel_policy_db_free(&ctx);
    zel_kro_table_prune(&ctx);
    zel_compile_context_free(ctx.compile.compiler);
    zel_prog_heap_delete(heap);
}

}  // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (geteuid() != 0) {
        fprintf(stderr, "zel_bench_handlers: needs root for the sandbox\n");
        return 2;
    }
    if (!e2e::Sandbox::get().ready()) {
        fprintf(stderr, "zel_bench_handlers: %s\n", e2e::Sandbox::get().error().c_str());
        return 1;
    }
    if (std::string err = e2e::use_sim_size("large"); !err.empty()) {
        fprintf(stderr, "zel_bench_handlers: %s\n", err.c_str());
        return 1;
    }
    unsetenv("CONFD_IPC_PORT");
    auto fp = e2e::start_fp_sim();
    char dir[] = "/run/bench-XXXXXX";
    if (!fp || !mkdtemp(dir))
        return 1;
    auto cdb = e2e::Process::start({e2e::binary("cdb-sim"), "--state-dir", dir, "--phase", "2"});
    cdb->wait_stdout_regex(std::regex(":4565"));
    {
        sockaddr_in a;
        cfgd_confd_addr(&a);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        confd_value_t v;
        CONFD_SET_BIT32(&v, 0x7);
        if (cdb_connect(s, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a) != CONFD_OK ||
            cdb_start_session(s, CDB_OPERATIONAL) != CONFD_OK ||
            cdb_set_elem(s, &v, "/cfgd-initial-read-priority") != CONFD_OK)
            fprintf(stderr, "zel_bench_handlers: cannot write the initial-read mask\n");
        close(s);
    }
    auto krod = e2e::Process::start({e2e::binary("krod-sim")});
    auto zeld = e2e::Process::start({e2e::binary("zeld"), "-f"});
    auto pxrd = e2e::Process::start({e2e::binary("pxrd-sim")});
    if (!pxrd->wait_stdout_line("\"up\"", 15s)) {
        fprintf(stderr, "zel_bench_handlers: zeld and pxrd-sim did not meet\n");
        return 1;
    }

    const auto seqs = sequences(n);
    const std::string full = std::string(dir) + "/full.json", one = std::string(dir) + "/one.json";
    e2e::write_file(full, json(seqs));
    std::vector<double> load, change;
    for (int r = 0; r < runs; r++) {
        cli({"replace", "--empty"});
        wait_released(0);
        load.push_back(commit_to_bind(*pxrd, "load", full));
        for (int k = 0; k < 2; k++) {
            wait_released(1);
            // A load merges leaf-lists: each change adds a protocol the sequence does not have yet.
            char change_json[256];
            snprintf(change_json, sizeof change_json,
                     R"({"ardenta-policy:policy-from-ostrel":{"data-policy":[{"name":"bench","vpn-list":[)"
                     R"({"name":"bench-vpns","sequence":[{"number":%d,"match":{"protocol":[%d]}}]}]}]}})",
                     10 * (n / 2), k + 1);
            e2e::write_file(one, change_json);
            change.push_back(commit_to_bind(*pxrd, "load", one));
        }
    }
    printf("fp-sim: %s", fp_filters().c_str());
    double build_ms = 0, compile_ms = 0;
    in_process(seqs, runs, &build_ms, &compile_ms);

    printf("sequences %d, runs %d (medians; -1 = no binding seen)\n", n, runs);
    printf("load of the policy to pxrd's bind:   %8.1f ms\n", median(load));
    printf("one sequence changed to pxrd's bind: %8.1f ms\n", median(change));
    printf("in process: rule table %.1f ms, compile %.1f ms (%.0f%% / %.0f%% of the load)\n", build_ms, compile_ms,
           100 * build_ms / median(load), 100 * compile_ms / median(load));
    zeld->signal(SIGUSR2);
    zeld->wait_exit();
    shm_unlink(FP_SHMEM_NAME);
    return 0;
}
