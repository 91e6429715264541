// fp-sim: a forwarding plane stand-in on the shared block "almushtarika".
//
//   fp-sim serve                       create or attach the block, set the ready bit, run until
//                                      SIGTERM, SIGINT or SIGUSR2 (then clear the ready bit)
//   fp-sim run --filter N [--size B] FILE
//                                      classify a ClassBench trace or a pcap capture with the
//                                      program published in filter slot N, count and police as a
//                                      forwarding plane does, print the action block per packet;
//                                      captured packets get their flow's application from nDPI
//                                      (1, "unclassified", until nDPI has decided), its family from
//                                      the daemon's family table, and count their application's
//                                      hits while inspection is on
//   fp-sim show [--tables]             valid filter slots and block usage (and the table layout)
#include "common/mempool.h"
#include "common/zel_log.h"
#include "compiler/zel_field.h"
#include "dataplane/fp_common.h"
#include "platform/fpsim/fp_sim_dpi.h"
#include "platform/fpsim/fp_sim_fwd.h"
#include "platform/fpsim/fp_sim_packets.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace
{

const char USAGE[] = "usage: fp-sim serve\n"
                     "       fp-sim run --filter N [--size BYTES] TRACE|PCAP\n"
                     "       fp-sim show [--tables]\n"
                     "The shared block's scaling class comes from /etc/default/sim_size, else from the RAM size.\n";

// Clock of the simulated forwarding plane: one cycle per nanosecond.
constexpr uint64_t FPSIM_CLOCK_HZ = 1000000000;

int usage(const std::string &why)
{
    if (!why.empty())
        fprintf(stderr, "fp-sim: %s\n", why.c_str());
    fputs(USAGE, stderr);
    return 2;
}

bool parse_u32(const char *s, uint32_t *out)
{
    char *end;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (*s == '\0' || *s == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFul)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

uint64_t now_cycles()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

fp_global_ctrl *ctrl() { return static_cast<fp_global_ctrl *>(fp_table(FP_TBL_GLOBAL_CTRL)); }

// The packet-buffer pool: its control region, rounded to 128 bytes, then the buffers.
mempool_t *fpa_pool() { return static_cast<mempool_t *>(fp_table(FP_TBL_FPA_POOL)); }
uint8_t *fpa_buffers()
{
    return static_cast<uint8_t *>(fp_table(FP_TBL_FPA_POOL)) +
           fp_round128(mempool_meta_size(static_cast<int>(g_fp_scaling.pkt_buffers)));
}

// Attaches to the block of a running forwarding plane.
int attach_running()
{
    if (!fp_platform_ready()) {
        fprintf(stderr, "fp-sim: no shared block \"%s\": start 'fp-sim serve' first\n", FP_SHMEM_NAME);
        return 1;
    }
    if (fp_shmem_attach(0, 1) != 0)
        return 1;
    if (!fp_ready_bit()) {
        fprintf(stderr, "fp-sim: the forwarding plane is not ready: start 'fp-sim serve' first\n");
        return 1;
    }
    return 0;
}

int cmd_serve()
{
    // Attaching may wait for a lock left by a process that died: a stop signal ends it there.
    if (fp_shmem_attach(1, 1) != 0)
        return 1;
    sigset_t stop;
    sigemptyset(&stop);
    for (int s : {SIGTERM, SIGINT, SIGUSR2})
        sigaddset(&stop, s);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    fp_set_ready_bit(false);
    fp_global_ctrl *c = ctrl();
    c->version = 1;
    c->ncores = FP_NUM_CORES;
    c->clock_hz = FPSIM_CLOCK_HZ;
    c->pid = getpid();
    if (mempool_init(fpa_pool(), fpa_buffers(), FP_PKT_BUFFER_SIZE, static_cast<int>(g_fp_scaling.pkt_buffers)) ==
        nullptr) {
        fprintf(stderr, "fp-sim: cannot make the packet-buffer pool\n");
        return 1;
    }
    fp_set_ready_bit(true);
    printf("fp-sim: ready: class %d, block \"%s\" of %lu bytes, %u filters, %u filter blocks\n", fp_scaling_class(),
           FP_SHMEM_NAME, static_cast<unsigned long>(fp_shmem_size()), g_fp_scaling.filters, g_fp_scaling.filter_mem);
    fflush(stdout);

    int sig = 0;
    while (sigwait(&stop, &sig) != 0)
        ;
    fp_set_ready_bit(false);
    printf("fp-sim: stopping on signal %d\n", sig);
    return 0;
}

// Entries of a tloc-list slot that lead somewhere: locators krod reported up.
unsigned tloc_list_usable(const zel_action_slot &s)
{
    unsigned n = 0;
    for (const zel_slot_tloc_entry &e : s.p.tloc_list)
        n += e.resolved != 0;
    return n;
}

void print_verdict(uint64_t n, const fpsim_filter &f, const fpsim_verdict &v, const std::string &app)
{
    printf("packet %lu: action %u", static_cast<unsigned long>(n), v.action);
    if (v.is_default)
        printf(" default");
    const zel_action_block *b = f.block(v.action);
    for (const zel_action_slot &s : b->data.slot) {
        if (s.param_type == ZEL_ACT_COUNT)
            printf(" count %.*s", static_cast<int>(ZEL_ACTION_NAME_LEN), s.p.count.name);
        else if (s.param_type == ZEL_ACT_POLICE)
            printf(" police %.*s", static_cast<int>(ZEL_ACTION_NAME_LEN), s.p.police.name);
        else if (s.param_type == ZEL_ACT_MIRROR)
            printf(" mirror %u", s.p.mirror.value);
        else if (s.param_type == ZEL_ACT_SLA_CLASS)
            printf(" sla-class %u", s.p.sla.primary);
        else if (s.param_type == ZEL_ACT_TLOC_LIST)
            printf(" tloc-list %u", tloc_list_usable(s));
        else if (s.code != 0 && s.param_type == 0)
            printf(" %s", zel_action_name(s.code));
    }
    if (v.dropped)
        printf(" dropped");
    printf(app.empty() ? "\n" : " app %s\n", app.c_str());
}

int cmd_run(int argc, char **argv)
{
    uint32_t filter = 0, size = 64;
    bool have_filter = false;
    std::string file;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--filter" || a == "--size") {
            if (i + 1 >= argc)
                return usage("missing number after " + a);
            if (!parse_u32(argv[++i], a == "--filter" ? &filter : &size))
                return usage(a + " takes a number, got '" + argv[i] + "'");
            have_filter |= a == "--filter";
        } else if (a.starts_with("-") || !file.empty()) {
            return usage("unexpected argument '" + a + "'");
        } else {
            file = a;
        }
    }
    if (!have_filter || file.empty())
        return usage("run needs --filter N and a TRACE or PCAP file");

    std::vector<fpsim_packet> pkts;
    std::string err;
    if (int rc = fpsim_read_packets(file, size, &pkts, &err)) {
        fprintf(stderr, "fp-sim: %s\n", rc == 2 ? (file + ": cannot open").c_str() : err.c_str());
        return 1;
    }
    if (int rc = attach_running())
        return rc;
    if (filter >= fp_table_count(FP_TBL_FILTERS)) {
        fprintf(stderr, "fp-sim: filter %u: there are %u filter slots\n", filter, fp_table_count(FP_TBL_FILTERS));
        return 1;
    }
    auto *slots = static_cast<fp_filter_slot *>(fp_table(FP_TBL_FILTERS));
    fpsim_filter f;
    int rc = f.load(&slots[filter], static_cast<uint8_t *>(fp_table(FP_TBL_FILTER_MEM)),
                    fp_table_count(FP_TBL_FILTER_MEM), &err);
    if (rc == 2) {
        fprintf(stderr, "fp-sim: filter %u holds no program\n", filter);
        return 1;
    }
    if (rc != 0) {
        fprintf(stderr, "fp-sim: filter %u: malformed program: %s\n", filter, err.c_str());
        return 1;
    }

    // Only captures carry what application recognition needs.
    std::unique_ptr<fpsim_inspector> dpi;
    if (std::any_of(pkts.begin(), pkts.end(), [](const fpsim_packet &p) { return !p.l3.empty(); }))
        dpi = std::make_unique<fpsim_inspector>();
    const fpsim_dpi_tables dpi_tables = fpsim_dpi_shared_tables();

    uint64_t n = 0, bytes = 0, missed = 0;
    for (fpsim_packet &p : pkts) {
        n++;
        if (!p.ip) {
            printf("packet %lu: not IP\n", static_cast<unsigned long>(n));
            continue;
        }
        std::string app;
        if (dpi != nullptr && !p.l3.empty()) {
            const uint32_t id = dpi->classify(p);
            p.fields.v[ZEL_CF_APP] = id;
            p.fields.v[ZEL_CF_APP_FAMILY] = fpsim_app_family(dpi_tables, id);
            fpsim_count_hit(dpi_tables, id);
            app = dpi->name(id);
        }
        // The packet goes through a buffer of the pool, as it would on the forwarding plane.
        auto *buf = static_cast<uint8_t *>(mempool_alloc(fpa_pool(), fpa_buffers()));
        if (buf == nullptr) {
            printf("packet %lu: no buffer\n", static_cast<unsigned long>(n));
            missed++;
            continue;
        }
        memcpy(buf, p.fields.v, sizeof p.fields.v);
        fpsim_verdict v;
        rc = f.forward(reinterpret_cast<const uint32_t *>(buf), p.len, now_cycles(), &v);
        mempool_free(fpa_pool(), fpa_buffers(), buf);
        if (rc != 0) {
            printf("packet %lu: %s%s%s\n", static_cast<unsigned long>(n), rc == 2 ? "no class" : "no action block",
                   app.empty() ? "" : " app ", app.c_str());
            missed++;
            continue;
        }
        bytes += p.len;
        print_verdict(n, f, v, app);
    }
    printf("filter %u: %lu packets, %lu bytes\n", filter, static_cast<unsigned long>(n - missed),
           static_cast<unsigned long>(bytes));
    return missed != 0 ? 1 : 0;
}

int cmd_show(int argc, char **argv)
{
    bool tables = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--tables") != 0)
            return usage(std::string("unexpected argument '") + argv[i] + "'");
        tables = true;
    }
    if (int rc = attach_running())
        return rc;
    auto *slots = static_cast<fp_filter_slot *>(fp_table(FP_TBL_FILTERS));
    auto *mem = static_cast<uint8_t *>(fp_table(FP_TBL_FILTER_MEM));
    const uint32_t nfilters = fp_table_count(FP_TBL_FILTERS), nblocks = fp_table_count(FP_TBL_FILTER_MEM);
    uint32_t valid = 0, used = 0;
    printf("%-6s %-9s %-7s %-8s %s\n", "Filter", "HW Index", "Blocks", "Activity", "Program");
    for (uint32_t i = 0; i < nfilters; i++) {
        const fp_filter_slot &s = slots[i];
        if (std::atomic_ref<const uint16_t>(s.valid).load(std::memory_order_acquire) == 0)
            continue;
        const bool in_range = uint64_t{s.hw_index} + s.nblocks <= nblocks;
        const auto *h = reinterpret_cast<const zel_image_header *>(mem + uint64_t{s.hw_index} * FP_FILTER_BLOCK_SIZE);
        printf("%6u %9u %7u %8u %.*s\n", i, s.hw_index, s.nblocks, s.flags & FP_FILTER_ACTIVE,
               in_range ? static_cast<int>(ZEL_IMAGE_NAME_LEN) : 1, in_range ? h->name : "?");
        valid++;
        used += s.nblocks;
    }
    printf("filters: %u/%u valid\nblocks: %u/%u used\n", valid, nfilters, used, nblocks);
    if (tables) {
        for (uint32_t t = 0; t < FP_NUM_TABLES; t++)
            for (uint32_t c = 0; c < (g_shmem_tbl[t].per_core ? FP_NUM_CORES : 1); c++)
                printf("table %u.%u %s offset %lu\n", t, c, g_shmem_tbl[t].name,
                       static_cast<unsigned long>(static_cast<uint8_t *>(fp_table(t, c)) - fp_shmem_base()));
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage("missing command");
    g_fp_console = 1;
    zel_debug_flags |= ZEL_DEBUG_STDOUT;
    const std::string cmd = argv[1];
    if (cmd == "serve")
        return argc == 2 ? cmd_serve() : usage("serve takes no arguments");
    if (cmd == "run")
        return cmd_run(argc, argv);
    if (cmd == "show")
        return cmd_show(argc, argv);
    return usage("unknown command '" + cmd + "'");
}
