// Compiler benchmark on one ClassBench rule set: compile time, image size,
// peak memory and classification rate of the interpreter, then the same rule
// set through DPDK's rte_acl (build time, memory, classification rate) in the
// same process. Prints one markdown table row (see scripts/bench.sh).
//
// Times are CPU of the whole process (every thread) over the build call. Each
// side builds, in order: one rule (its fixed cost of a build), the set (cold:
// first touch of its memory), one rule again, the set again (warm, as in a
// long-running daemon); zeld then recompiles the same matches (classes
// reused). The compared figure is warm minus fixed, per side.
//
// usage: zel_bench_compiler RULES [TRACE]   (without a trace, packets are generated)
//        zel_bench_compiler --header          (the table's two header lines)
#include "tools/zelc/zelc_rules.h"

#include "compiler/zel_compiler.h"
#include "compiler/zel_field.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef ZEL_HAVE_DPDK
#include <rte_acl.h>
#include <rte_byteorder.h>
#include <rte_eal.h>
#include <rte_lcore.h>
#include <rte_malloc.h>
#endif

namespace
{

using bench_clock = std::chrono::steady_clock;
constexpr uint32_t BLOCKS = 33554431;  // just under 4 GiB: the image size is a 32-bit field
constexpr double MIN_SECONDS = 1.0;

double since(bench_clock::time_point t0) { return std::chrono::duration<double>(bench_clock::now() - t0).count(); }

// Repeats fn over the packets for at least MIN_SECONDS; packets per second.
template <typename Fn>
double rate(size_t packets, Fn fn)
{
    uint64_t n = 0;
    auto t0 = bench_clock::now();
    double secs;
    do {
        fn();
        n += packets;
    } while ((secs = since(t0)) < MIN_SECONDS);
    return n / secs;
}

struct result {
    bool ok = false;
    double fixed_ms = 0, cold_ms = 0, warm_ms = 0, reuse_ms = 0, warm_wall_ms = 0, pps = 0;
    uint64_t bytes = 0;  // image, or rte_acl heap memory
    long peak_kib = 0;
    size_t mismatches = 0;
    std::string note;
    double build_ms() const { return std::max(0.0, warm_ms - fixed_ms); }
};

zelc_ruleset first_rule_of(const zelc_ruleset &rs)
{
    zelc_ruleset one;
    one.name = rs.name;
    one.default_action = std::make_unique<zel_action_data>(*rs.default_action);
    one.rules.push_back({rs.rules[0].name, rs.rules[0].line, rs.rules[0].conds,
                         std::make_unique<zel_action_data>(*rs.rules[0].action)});
    return one;
}

result run_zel(const zelc_ruleset &rs, const std::vector<zelc_packet> &pkts, const std::vector<uint32_t> &want)
{
    result r;
    zelc_session session(BLOCKS);
    const zelc_ruleset one = first_rule_of(rs);
    zelc_compiled c;
    session.compile(one, &c);
    const long before = zelc_rss_kib();
    int rc = session.compile(rs, &c);
    r.peak_kib = zelc_peak_kib() - before;
    r.cold_ms = c.process_cpu_seconds * 1e3;
    r.bytes = c.size;
    if (rc != 0) {
        r.note = rc == 12 ? (c.no_memory == ZEL_NO_MEMORY_PROGRAM ? "out of program memory (needs at least "
                                                                  : "out of compiler memory (at ") +
                                std::to_string(c.size) + " bytes)"
                          : "error " + std::to_string(rc);
        return r;
    }
    session.compile(one, &c);
    r.fixed_ms = c.process_cpu_seconds * 1e3;
    session.compile(rs, &c);
    r.warm_ms = c.process_cpu_seconds * 1e3;
    r.warm_wall_ms = c.seconds * 1e3;
    zelc_compiled again;
    session.compile(rs, &again);
    r.reuse_ms = again.process_cpu_seconds * 1e3;
    session.compile(rs, &c);  // the image classified below
    zelc_classifier cl;
    std::string err;
    if (cl.load(rs, c.image, &err) != 0) {
        r.note = err;
        return r;
    }
    for (size_t i = 0; i < pkts.size(); i++)
        r.mismatches += cl.classify(pkts[i]) != want[i];
    volatile int64_t sink = 0;
    r.pps = rate(pkts.size(), [&] {
        int64_t s = 0;
        for (const zelc_packet &p : pkts)
            s += cl.classify(p);
        sink = sink + s;
    });
    r.note = std::to_string(c.root_classes) + " root classes";
    r.ok = true;
    return r;
}

#ifdef ZEL_HAVE_DPDK
struct ipv4_5tuple {
    uint8_t proto;
    uint32_t src, dst;
    uint16_t sport, dport;
};
RTE_ACL_RULE_DEF(acl_ipv4_rule, 5);

const rte_acl_field_def ACL_FIELDS[5] = {
    {RTE_ACL_FIELD_TYPE_BITMASK, sizeof(uint8_t), 0, 0, offsetof(ipv4_5tuple, proto)},
    {RTE_ACL_FIELD_TYPE_MASK, sizeof(uint32_t), 1, 1, offsetof(ipv4_5tuple, src)},
    {RTE_ACL_FIELD_TYPE_MASK, sizeof(uint32_t), 2, 2, offsetof(ipv4_5tuple, dst)},
    {RTE_ACL_FIELD_TYPE_RANGE, sizeof(uint16_t), 3, 3, offsetof(ipv4_5tuple, sport)},
    {RTE_ACL_FIELD_TYPE_RANGE, sizeof(uint16_t), 4, 3, offsetof(ipv4_5tuple, dport)},
};

acl_ipv4_rule to_acl(const zelc_rule &zr, uint32_t index, uint32_t count)
{
    acl_ipv4_rule a{};
    a.data.category_mask = 1;
    a.data.priority = static_cast<int32_t>(count - index);  // the first rule wins
    a.data.userdata = index + 1;
    a.field[3].mask_range.u16 = a.field[4].mask_range.u16 = 65535;
    for (const zelc_cond &c : zr.conds) {
        switch (c.field) {
        case ZEL_CF_PROTOCOL:
            a.field[0].value.u8 = static_cast<uint8_t>(c.lo);
            a.field[0].mask_range.u8 = 0xFF;
            break;
        case ZEL_CF_SRC_ADDR:
        case ZEL_CF_DST_ADDR:
            a.field[c.field == ZEL_CF_SRC_ADDR ? 1 : 2].value.u32 = c.lo;
            a.field[c.field == ZEL_CF_SRC_ADDR ? 1 : 2].mask_range.u32 = c.len;
            break;
        default:
            a.field[c.field == ZEL_CF_SRC_PORT ? 3 : 4].value.u16 = static_cast<uint16_t>(c.lo);
            a.field[c.field == ZEL_CF_SRC_PORT ? 3 : 4].mask_range.u16 = static_cast<uint16_t>(c.hi);
        }
    }
    return a;
}

uint64_t heap_bytes()
{
    rte_malloc_socket_stats st{};
    rte_malloc_get_socket_stats(static_cast<int>(rte_socket_id()), &st);
    return st.heap_allocsz_bytes;
}

// rte_acl add + build of rules[0 .. n), CPU ms of the process; rc in *rc.
double acl_build(rte_acl_ctx *ctx, const std::vector<acl_ipv4_rule> &rules, uint32_t n, int *rc)
{
    rte_acl_config cfg{};
    cfg.num_categories = 1;
    cfg.num_fields = 5;
    std::memcpy(cfg.defs, ACL_FIELDS, sizeof ACL_FIELDS);
    rte_acl_reset(ctx);
    const double c0 = zelc_process_cpu_seconds();
    *rc = rte_acl_add_rules(ctx, reinterpret_cast<const rte_acl_rule *>(rules.data()), n);
    if (*rc == 0)
        *rc = rte_acl_build(ctx, &cfg);
    return (zelc_process_cpu_seconds() - c0) * 1e3;
}

result run_acl(const zelc_ruleset &rs, const std::vector<zelc_packet> &pkts, const std::vector<uint32_t> &want)
{
    result r;
    uint32_t n = static_cast<uint32_t>(rs.rules.size());
    rte_acl_param prm{"zel-bench", SOCKET_ID_ANY, RTE_ACL_RULE_SZ(5), n};
    rte_acl_ctx *ctx = rte_acl_create(&prm);
    if (!ctx) {
        r.note = "rte_acl_create failed";
        return r;
    }
    std::vector<acl_ipv4_rule> rules;
    for (uint32_t i = 0; i < n; i++)
        rules.push_back(to_acl(rs.rules[i], i, n));
    int rc;
    acl_build(ctx, rules, 1, &rc);
    const uint64_t before = heap_bytes();
    r.cold_ms = acl_build(ctx, rules, n, &rc);
    r.bytes = heap_bytes() - before;
    if (rc == 0) {
        r.fixed_ms = acl_build(ctx, rules, 1, &rc);
        auto t0 = bench_clock::now();
        r.warm_ms = acl_build(ctx, rules, n, &rc);
        r.warm_wall_ms = since(t0) * 1e3;
    }
    if (rc != 0) {
        r.note = "rte_acl build failed: " + std::string(std::strerror(-rc));
        rte_acl_free(ctx);
        return r;
    }
    std::vector<ipv4_5tuple> data(pkts.size());
    std::vector<const uint8_t *> ptrs(pkts.size());
    for (size_t i = 0; i < pkts.size(); i++) {
        const zelc_packet &p = pkts[i];
        data[i] = {static_cast<uint8_t>(p.v[ZEL_CF_PROTOCOL]), rte_cpu_to_be_32(p.v[ZEL_CF_SRC_ADDR]),
                   rte_cpu_to_be_32(p.v[ZEL_CF_DST_ADDR]),
                   rte_cpu_to_be_16(static_cast<uint16_t>(p.v[ZEL_CF_SRC_PORT])),
                   rte_cpu_to_be_16(static_cast<uint16_t>(p.v[ZEL_CF_DST_PORT]))};
        ptrs[i] = reinterpret_cast<const uint8_t *>(&data[i]);
    }
    std::vector<uint32_t> res(pkts.size());
    constexpr uint32_t BURST = 64;
    auto classify_all = [&] {
        for (size_t i = 0; i < pkts.size(); i += BURST)
            rte_acl_classify(ctx, &ptrs[i], &res[i], static_cast<uint32_t>(std::min<size_t>(BURST, pkts.size() - i)),
                             1);
    };
    classify_all();
    for (size_t i = 0; i < pkts.size(); i++)
        r.mismatches += res[i] != want[i];
    r.pps = rate(pkts.size(), classify_all);
    rte_acl_free(ctx);
    r.ok = true;
    return r;
}

bool eal_init(const char *prog)
{
    const char *args[] = {prog,           "--no-huge", "--no-pci", "-l", "0", "-m", "4096", "--file-prefix=zelc-bench",
                          "--log-level=1"};
    std::vector<char *> argv;
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    return rte_eal_init(static_cast<int>(argv.size()), argv.data()) >= 0;
}
#endif

std::string num(double v, int prec)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", prec, v);
    return buf;
}

std::string ratio(const result &a, const result &b, double av, double bv)
{
    return a.ok && b.ok && bv > 0 ? num(av / bv, 2) : "-";
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--header") == 0) {
        std::puts(
            "| set | rules | zeld CPU ms fixed / cold / warm / same matches | rte_acl CPU ms fixed / cold / warm | "
            "build zeld/rte_acl (warm - fixed) | wall ms warm zeld / rte_acl | image bytes | zeld peak / image | "
            "rte_acl bytes | zeld Mpps | rte_acl Mpps | mismatches zeld, rte_acl | notes |");
        std::puts("|---|---|---|---|---|---|---|---|---|---|---|---|---|");
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s RULES [TRACE]\n", argv[0]);
        return 2;
    }
    zelc_ruleset rs;
    std::vector<zelc_packet> pkts;
    std::string err;
    if (zelc_read_rules(argv[1], zelc_format::classbench, &rs, &err) != 0 ||
        (argc == 3 && zelc_read_trace(argv[2], &pkts, &err) != 0)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    if (argc == 2)
        pkts = zelc_generate_packets(rs, 10000, 1);
    std::vector<uint32_t> want;
    for (const zelc_packet &p : pkts)
        want.push_back(zelc_linear_match(rs, p));

    result z = run_zel(rs, pkts, want);
    result a;
#ifdef ZEL_HAVE_DPDK
    if (eal_init(argv[0]))
        a = run_acl(rs, pkts, want);
    else
        a.note = "EAL init failed";
#else
    a.note = "built without DPDK";
#endif
    std::string name = argv[1];
    name = name.substr(name.rfind('/') + 1);
    // | set | rules | zeld fixed / cold / warm / reuse ms | rte_acl fixed / cold / warm ms | build zeld/rte_acl |
    // wall warm zeld, rte_acl | image bytes | zeld peak / image | rte_acl bytes | zeld Mpps | rte_acl Mpps |
    // mismatches | notes |
    auto four = [](const result &r) {
        return num(r.fixed_ms, 1) + " / " + num(r.cold_ms, 1) + " / " + num(r.warm_ms, 1) + " / " + num(r.reuse_ms, 1);
    };
    auto three = [](const result &r) {
        return num(r.fixed_ms, 1) + " / " + num(r.cold_ms, 1) + " / " + num(r.warm_ms, 1);
    };
    std::printf("| %s | %zu | %s | %s | %s | %s / %s | %s | %s | %s | %s | %s | %zu, %zu | %s%s%s |\n", name.c_str(),
                rs.rules.size(), z.ok ? four(z).c_str() : num(z.cold_ms, 1).c_str(), a.ok ? three(a).c_str() : "-",
                ratio(z, a, z.build_ms(), a.build_ms()).c_str(), z.ok ? num(z.warm_wall_ms, 1).c_str() : "-",
                a.ok ? num(a.warm_wall_ms, 1).c_str() : "-", std::to_string(z.bytes).c_str(),
                z.ok ? num(z.peak_kib * 1024.0 / static_cast<double>(z.bytes), 2).c_str() : "-",
                a.ok ? std::to_string(a.bytes).c_str() : "-", z.ok ? num(z.pps / 1e6, 2).c_str() : "-",
                a.ok ? num(a.pps / 1e6, 2).c_str() : "-", z.mismatches, a.mismatches, z.note.c_str(),
                a.note.empty() ? "" : "; ", a.note.c_str());
#ifdef ZEL_HAVE_DPDK
    rte_eal_cleanup();
#endif
    return z.mismatches || a.mismatches ? 1 : 0;
}
