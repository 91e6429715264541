// Compiler benchmark on one ClassBench rule set: compile time, image size,
// peak memory and classification rate of the interpreter, then the same rule
// set through DPDK's rte_acl (build time, memory, classification rate) in the
// same process. Prints one markdown table row (see scripts/bench.sh).
//
// usage: zel_bench_compiler RULES [TRACE]   (without a trace, packets are generated)
#include "tools/zelc/zelc_rules.h"

#include "compiler/zel_field.h"

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
    double build_ms = 0, build_cpu_ms = 0, pps = 0;
    uint64_t bytes = 0;  // image, or rte_acl heap memory
    long peak_kib = 0;
    size_t mismatches = 0;
    std::string note;
};

result run_zel(const zelc_ruleset &rs, const std::vector<zelc_packet> &pkts, const std::vector<uint32_t> &want)
{
    result r;
    zelc_compiled c;
    long before = zelc_rss_kib();
    int rc = zelc_compile(rs, BLOCKS, &c);
    r.build_ms = c.seconds * 1e3;
    r.build_cpu_ms = c.cpu_seconds * 1e3;
    r.peak_kib = zelc_peak_kib() - before;
    r.bytes = c.size;
    if (rc != 0) {
        r.note = rc == 12 ? "out of program memory (needs at least " + std::to_string(c.size) + " bytes)"
                          : "error " + std::to_string(rc);
        return r;
    }
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

result run_acl(const zelc_ruleset &rs, const std::vector<zelc_packet> &pkts, const std::vector<uint32_t> &want)
{
    result r;
    uint32_t n = static_cast<uint32_t>(rs.rules.size());
    uint64_t before = heap_bytes();
    rte_acl_param prm{"zel-bench", SOCKET_ID_ANY, RTE_ACL_RULE_SZ(5), n};
    rte_acl_ctx *ctx = rte_acl_create(&prm);
    if (!ctx) {
        r.note = "rte_acl_create failed";
        return r;
    }
    std::vector<acl_ipv4_rule> rules;
    for (uint32_t i = 0; i < n; i++)
        rules.push_back(to_acl(rs.rules[i], i, n));
    rte_acl_config cfg{};
    cfg.num_categories = 1;
    cfg.num_fields = 5;
    std::memcpy(cfg.defs, ACL_FIELDS, sizeof ACL_FIELDS);
    auto t0 = bench_clock::now();
    const double c0 = zelc_thread_cpu_seconds();
    int rc = rte_acl_add_rules(ctx, reinterpret_cast<const rte_acl_rule *>(rules.data()), n);
    if (rc == 0)
        rc = rte_acl_build(ctx, &cfg);
    r.build_cpu_ms = (zelc_thread_cpu_seconds() - c0) * 1e3;
    r.build_ms = since(t0) * 1e3;
    r.bytes = heap_bytes() - before;
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
    // | set | rules | packets | zel compile ms (CPU) | image bytes | zel peak KiB | zel Mpps | acl build ms (CPU) |
    // acl bytes | acl Mpps | compile CPU zel/acl | memory zel image/acl | rate acl/zel | mismatches zel, acl | notes |
    auto ms = [](const result &r) { return num(r.build_ms, 1) + " (" + num(r.build_cpu_ms, 1) + ")"; };
    std::printf("| %s | %zu | %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %zu, %zu | %s%s%s |\n",
                name.c_str(), rs.rules.size(), pkts.size(), ms(z).c_str(), std::to_string(z.bytes).c_str(),
                z.ok ? std::to_string(z.peak_kib).c_str() : "-", z.ok ? num(z.pps / 1e6, 2).c_str() : "-",
                a.ok ? ms(a).c_str() : "-", a.ok ? std::to_string(a.bytes).c_str() : "-",
                a.ok ? num(a.pps / 1e6, 2).c_str() : "-", ratio(z, a, z.build_cpu_ms, a.build_cpu_ms).c_str(),
                ratio(z, a, static_cast<double>(z.bytes), static_cast<double>(a.bytes)).c_str(),
                ratio(z, a, a.pps, z.pps).c_str(), z.mismatches, a.mismatches, z.note.c_str(),
                a.note.empty() ? "" : "; ", a.note.c_str());
#ifdef ZEL_HAVE_DPDK
    rte_eal_cleanup();
#endif
    return z.mismatches || a.mismatches ? 1 : 0;
}
