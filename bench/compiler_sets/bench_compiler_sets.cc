// Compile time of ClassBench rule sets: bench_compiler_sets [--blocks N] FILE.rules...
// (best of 5 runs, wall and CPU time). Each rule becomes one rule of a table: source and destination
// prefixes, port ranges and the protocol; wildcards place no condition.
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace
{

struct cb_rule {
    uint8_t src[4], dst[4];
    uint32_t slen, dlen, sp_lo, sp_hi, dp_lo, dp_hi, proto, pmask;
};

bool parse(const std::string &line, cb_rule &r)
{
    unsigned s[4], d[4];
    return sscanf(line.c_str(), "@%u.%u.%u.%u/%u %u.%u.%u.%u/%u %u : %u %u : %u %x/%x", &s[0], &s[1], &s[2], &s[3],
                  &r.slen, &d[0], &d[1], &d[2], &d[3], &r.dlen, &r.sp_lo, &r.sp_hi, &r.dp_lo, &r.dp_hi, &r.proto,
                  &r.pmask) == 16 &&
           (std::copy(s, s + 4, r.src), std::copy(d, d + 4, r.dst), true);
}

double cpu_ms()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int compile_once(const std::vector<cb_rule> &rules, compile_context *ctx, const char *name, uint32_t *size,
                 uint32_t *root_classes)
{
    static zel_action_data data{};
    rule_table *rt = zel_rule_table_create(name, "1", sizeof data, &data);
    for (size_t i = 0; i < rules.size(); i++) {
        const cb_rule &c = rules[i];
        rule *r = zel_rule_add(rt, std::to_string(i).c_str());
        if (c.slen)
            zel_rule_add_prefix(ctx, r, ZEL_CF_SRC_ADDR, c.src, c.slen);
        if (c.dlen)
            zel_rule_add_prefix(ctx, r, ZEL_CF_DST_ADDR, c.dst, c.dlen);
        if (c.sp_lo != 0 || c.sp_hi != 65535)
            zel_rule_add_range(ctx, r, ZEL_CF_SRC_PORT, c.sp_lo, c.sp_hi);
        if (c.dp_lo != 0 || c.dp_hi != 65535)
            zel_rule_add_range(ctx, r, ZEL_CF_DST_PORT, c.dp_lo, c.dp_hi);
        if (c.pmask == 0xFF)
            zel_rule_add_range(ctx, r, ZEL_CF_PROTOCOL, c.proto, c.proto);
        data.slot[0].p.u32 = static_cast<uint32_t>(i);
        zel_rule_set_action(r, sizeof data, &data);
    }
    void *image = nullptr;
    const int rc = zel_compile(ctx, rt, &image, size);
    *root_classes = ctx->root ? ctx->root->class_count : 0;
    zel_program_free(&ctx->program_memory, image);
    zel_compile_context_reset(ctx);
    zel_rule_table_free(rt);
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    uint32_t blocks = 1u << 20;  // the largest shared filter memory: 128 MiB
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--blocks") == 0) {
        blocks = static_cast<uint32_t>(strtoul(argv[2], nullptr, 0));
        first = 3;
    }
    zel_prog_heap *heap = zel_prog_heap_new(blocks, 16);
    program_allocator a = zel_prog_heap_allocator(heap);
    compile_context *ctx = zel_compile_context_new(&a);
    printf("%-22s %6s %4s %12s %10s %10s %10s\n", "rule set", "rules", "rc", "image bytes", "classes", "wall ms",
           "cpu ms");
    for (int i = first; i < argc; i++) {
        std::ifstream in(argv[i]);
        std::vector<cb_rule> rules;
        for (std::string line; std::getline(in, line);) {
            cb_rule r;
            if (parse(line, r))
                rules.push_back(r);
        }
        const char *base = strrchr(argv[i], '/') ? strrchr(argv[i], '/') + 1 : argv[i];
        double best = 1e30, best_cpu = 1e30;
        int rc = 0;
        uint32_t size = 0, classes = 0;
        for (int run = 0; run < 5; run++) {
            const double c0 = cpu_ms();
            const auto t0 = std::chrono::steady_clock::now();
            rc = compile_once(rules, ctx, base, &size, &classes);
            const auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
            best_cpu = std::min(best_cpu, cpu_ms() - c0);
        }
        printf("%-22s %6zu %4d %12u %10u %10.1f %10.1f\n", base, rules.size(), rc, size, classes, best, best_cpu);
    }
    zel_compile_context_free(ctx);
    zel_prog_heap_delete(heap);
    return 0;
}
