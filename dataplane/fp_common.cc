#include "dataplane/fp_common.h"

#include "common/zel_log.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#define NELEMENTS(a) (sizeof(a) / sizeof((a)[0]))

fp_scaling g_fp_scaling;
int g_fp_console;

namespace
{

// ---------------------------------------------------------------------------------------------------
// Scaling records.

constexpr uint32_t pick(int cls, uint32_t c1, uint32_t c2, uint32_t c3, uint32_t c4)
{
    return cls == 1 ? c1 : cls == 2 ? c2 : cls == 3 ? c3 : c4;
}

constexpr uint32_t fpa_pool_bytes(uint32_t buffers)
{
    // mempool control region: a 64-byte header and 136 bytes of metadata per buffer.
    return static_cast<uint32_t>(fp_round128(64 + 136ull * buffers) + uint64_t{buffers} * FP_PKT_BUFFER_SIZE);
}

constexpr fp_scaling make_scaling(int c)
{
    fp_scaling s{};
    s.shmem_info_tbl_size = 128;
    s.shmem_size = pick(c, 67108864, 184549376, 536870912, 1073741824);
    s.dpi_mem_size = pick(c, 16777216, 33554432, 134217728, 268435456);
    s.ports = pick(c, 16, 32, 64, 64);
    s.vrfs = pick(c, 256, 1024, 1024, 1024);
    s.labels = 65536;
    s.interfaces = pick(c, 128, 512, 512, 512);
    s.if_hash = pick(c, 1024, 4096, 4096, 4096);
    s.tunnels = pick(c, 1024, 4096, 8192, 8192);
    s.tun_hash = pick(c, 4096, 16384, 32768, 32768);
    s.arp = pick(c, 4096, 16384, 65536, 65536);
    s.arp_hash = pick(c, 8192, 32768, 131072, 131072);
    s.next_hops = 65536;
    s.classifiers = 16;
    s.policers = pick(c, 1024, 4096, 8192, 8192);
    s.rewrites = pick(c, 1024, 4096, 8192, 8192);
    s.fc_to_q = 64;
    s.fib_blocks = pick(c, 16384, 65536, 262144, 524288);
    s.fib_large_blocks = pick(c, 256, 1024, 4096, 8192);
    s.one = 1;
    s.global_stats = 1024;
    s.pre_core_data = 64;
    s.inbound_sa = pick(c, 1024, 4096, 8192, 8192);
    s.sub_inbound_sa = pick(c, 1024, 4096, 8192, 8192);
    s.inbound_sa_hash = pick(c, 4096, 16384, 32768, 32768);
    s.sub_inbound_sa_hash = pick(c, 4096, 16384, 32768, 32768);
    s.outbound_sa = pick(c, 1024, 4096, 8192, 8192);
    s.bfd = pick(c, 1024, 4096, 4096, 4096);
    s.bfd_hash = pick(c, 4096, 16384, 16384, 16384);
    s.filter_mem = pick(c, 16384, 65536, 1048576, 1048576);
    s.filters = pick(c, 256, 256, 512, 512);
    s.profiler = 256;
    s.ctrl_tun_hash = 1024;
    s.ctrl_tun = 1024;
    s.mcast_group_hash = 1024;
    s.nat_if = pick(c, 128, 512, 512, 512);
    s.nat_port_fwd = 1024;
    s.nat_map = pick(c, 4096, 16384, 65536, 65536);
    s.nat_map_hash = pick(c, 8192, 32768, 131072, 131072);
    s.nat_filter = pick(c, 4096, 16384, 65536, 65536);
    s.nat_filter_hash = pick(c, 8192, 32768, 131072, 131072);
    s.ipfrag = pick(c, 256, 1024, 2048, 2048);
    s.ipfrag_hash = pick(c, 1024, 4096, 8192, 8192);
    s.mcast_groups = 1024;
    s.tundb_hash = pick(c, 4096, 16384, 32768, 32768);
    s.tundb = pick(c, 1024, 4096, 8192, 8192);
    s.mcast_stats = 1024;
    s.paths = pick(c, 4096, 16384, 65536, 65536);
    s.path_ext = pick(c, 4096, 16384, 65536, 65536);
    s.flows = pick(c, 4096, 16384, 65536, 131072);
    s.flow_hash = pick(c, 8192, 32768, 131072, 262144);
    s.fib6_blocks = pick(c, 4096, 16384, 65536, 131072);
    s.bridges = pick(c, 64, 256, 512, 512);
    s.bridge_mac_stats = pick(c, 4096, 16384, 32768, 65536);
    s.macs = pick(c, 4096, 16384, 32768, 65536);
    s.bridge_id_map = 4096;
    s.bridge_mac_hash = pick(c, 8192, 32768, 65536, 131072);
    s.debug_records = 1024;
    s.dpi_proto_family_mapping = FP_NUM_DPI_PROTO_FAMILY_MAPPING;
    s.dpi_proto_hits = 4096;
    s.dpi_stats = 256;
    s.dpi_flow_stat_nodes = pick(c, 4096, 16384, 65536, 131072);
    s.nat_pools = 64;
    s.pkt_buffers = pick(c, 256, 1024, 4096, 4096);
    s.fpa_pool_bytes = fpa_pool_bytes(s.pkt_buffers);
    s.tun_avl = pick(c, 1024, 4096, 8192, 8192);
    s.app_tun_map = 4096;
    s.vrid_app_map = 4096;
    s.server_appid = 4096;
    s.server_appid_hash = 8192;
    s.tcp_opt_flow_hash = 8192;
    s.tcp_opt_flows = 4096;
    return s;
}

constexpr std::array<fp_scaling, FP_NUM_CLASSES> kScaling{make_scaling(1), make_scaling(2), make_scaling(3),
                                                          make_scaling(4)};

// ---------------------------------------------------------------------------------------------------
// The table list.

void *g_fp_tbl_addr[FP_NUM_TABLES][FP_NUM_CORES];

#define TBL(i, size, count, name)                                                                                      \
    fp_shmem_tbl_entry { g_fp_tbl_addr[i], size, &fp_scaling::count, name, false }
#define TBL_PER_CORE(i, size, count, name)                                                                             \
    fp_shmem_tbl_entry { g_fp_tbl_addr[i], size, &fp_scaling::count, name, true }

constexpr std::array<fp_shmem_tbl_entry, FP_NUM_TABLES> kTables{
    TBL(0, sizeof(fp_shmem_info_entry), shmem_info_tbl_size, "fp_shmem_info"),
    TBL(1, 256, ports, "fp_port_record"),
    TBL(2, 256, ports, "fp_port_stats"),
    TBL(3, 64, vrfs, "fp_vrf"),
    TBL(4, 16, labels, "fp_label"),
    TBL(5, 512, interfaces, "fp_if"),
    TBL(6, 256, interfaces, "fp_if_stats"),
    TBL(7, 4, if_hash, "fp_if_hash"),
    TBL(8, 256, tunnels, "fp_tun"),
    TBL(9, 4, tun_hash, "fp_tun_hash"),
    TBL(10, 64, arp, "fp_arp"),
    TBL(11, 4, arp_hash, "fp_arp_hash"),
    TBL(12, 64, next_hops, "fp_nh"),
    TBL(13, 128, classifiers, "fp_classifier"),
    TBL(14, 128, policers, "fp_policer"),
    TBL(15, 64, rewrites, "fp_rewrite"),
    TBL(16, 4, fc_to_q, "fc_to_q_map"),
    TBL(17, 64, fib_blocks, "fib_block"),
    TBL(18, 1024, fib_large_blocks, "fib_large_block"),
    TBL(19, sizeof(fp_global_ctrl), one, "fp-global-ctrl"),
    TBL(20, 8, global_stats, "fp_global_stats"),
    TBL(21, 256, pre_core_data, "fp_pre_core_data"),
    TBL(22, 256, inbound_sa, "fp_inbound_sa_records"),
    TBL(23, 256, sub_inbound_sa, "fp_sub_inbound_sa_records"),
    TBL(24, 4, inbound_sa_hash, "fp_inbound_sa_hash_table"),
    TBL(25, 4, sub_inbound_sa_hash, "fp_sub_inbound_sa_hash_table"),
    TBL(26, 4, sub_inbound_sa_hash, "fp_sub_inbound_sa_hash_table"),
    TBL(27, 256, outbound_sa, "fp_outbound_sa_records"),
    TBL(28, 128, bfd, "fp_bfd_records"),
    TBL(29, 4, bfd_hash, "fp_bfd_hash_records"),
    TBL(30, FP_FILTER_BLOCK_SIZE, filter_mem, "fp_filter_mem"),
    TBL(31, sizeof(fp_filter_slot), filters, "fp_filters"),
    TBL(32, 64, profiler, "fp_profiler"),
    TBL(33, 4, ctrl_tun_hash, "fp_ctrl_tun_hash"),
    TBL(34, 128, ctrl_tun, "fp_ctrl_tun"),
    TBL(35, 4, mcast_group_hash, "fp_mcast_group_hash"),
    TBL(36, 128, nat_if, "fp_nat_if"),
    TBL(37, 64, nat_port_fwd, "nat-port-fwd"),
    TBL(38, 64, nat_map, "fp_nat_map"),
    TBL(39, 4, nat_map_hash, "fp_nat_map_hash"),
    TBL(40, 64, nat_filter, "fp_nat_filter"),
    TBL(41, 4, nat_filter_hash, "fp_nat_filter_outbound_hash"),
    TBL(42, 4, nat_filter_hash, "fp_nat_filter_outbound_hash"),
    TBL_PER_CORE(43, 128, ipfrag, "fp_ipfrag"),
    TBL_PER_CORE(44, 4, ipfrag_hash, "fp_ipfrag_hash"),
    TBL(45, 128, mcast_groups, "fp_mcast_group"),
    TBL(46, 4, tundb_hash, "fp_tundb_hash"),
    TBL(47, 128, tundb, "fp_tundb"),
    TBL(48, 64, mcast_stats, "fp_mcast_stats"),
    TBL(49, 64, paths, "fp_path_records"),
    TBL(50, 64, path_ext, "fp_path_ext_records"),
    TBL(51, 256, flows, "fp_flow"),
    TBL(52, 4, flow_hash, "fp_flow_hash"),
    TBL(53, 128, fib6_blocks, "fib6_block"),
    TBL(54, 256, bridges, "fp_bridge_record"),
    TBL(55, 64, bridge_mac_stats, "fp_bridge_mac_stats_table"),
    TBL(56, 64, macs, "fp_mac_record"),
    TBL(57, 4, bridge_id_map, "fp_bridge_id_to_record_map"),
    TBL(58, 4, bridge_mac_hash, "fp_bridge_mac_hash_table"),
    TBL(59, 64, debug_records, "debug_records"),
    TBL(60, 1, dpi_mem_size, "fp_dpi_qosmos_mem_block"),
    TBL(61, 4, dpi_proto_family_mapping, "fp_dpi_proto_family_mapping"),
    TBL(62, 4, dpi_proto_hits, "fp_dpi_proto_hits"),
    TBL(63, 4, one, "DPI App Visibility knob"),
    TBL(64, 64, dpi_stats, "DPI Stats tbl"),
    TBL(65, 64, dpi_flow_stat_nodes, "dpi_flow_stat_node"),
    TBL(66, 128, nat_pools, "nat-pool"),
    TBL(67, sizeof(fp_filter_log_cfg), one, "Filter Log Configuration"),
    TBL(68, 4, one, "Filter Flow visibility knob"),
    TBL(69, 1, fpa_pool_bytes, "FPA pool state"),
    TBL(70, 64, tun_avl, "fp_tun_avl"),
    TBL(71, 8, app_tun_map, "App id to tunnel mapping for Orvanta"),
    TBL(72, 8, vrid_app_map, "VRID to App id mapping for Orvanta"),
    TBL(73, 8, vrid_app_map, "VRID to App id mapping for Orvanta"),
    TBL(74, 64, server_appid, "Server info to appid mapping"),
    TBL(75, 4, server_appid_hash, "Server info to appid mapping hash"),
    TBL(76, 4, tcp_opt_flow_hash, "Tcp opt flow table hash"),
    TBL(77, 128, tcp_opt_flows, "Tcp Opt flow table"),
};
#undef TBL
#undef TBL_PER_CORE

constexpr bool named(uint32_t i, std::string_view name) { return kTables[i].name == name; }
static_assert(named(FP_TBL_GLOBAL_CTRL, "fp-global-ctrl") && named(FP_TBL_FILTER_MEM, "fp_filter_mem") &&
              named(FP_TBL_FILTERS, "fp_filters") && named(FP_TBL_IPFRAG, "fp_ipfrag") &&
              named(FP_TBL_IPFRAG_HASH, "fp_ipfrag_hash") && named(FP_TBL_DPI_MEM, "fp_dpi_qosmos_mem_block") &&
              named(FP_TBL_DPI_PROTO_HITS, "fp_dpi_proto_hits") &&
              named(FP_TBL_DPI_APP_VISIBILITY, "DPI App Visibility knob") &&
              named(FP_TBL_FILTER_LOG_CFG, "Filter Log Configuration") &&
              named(FP_TBL_FILTER_FLOW_VISIBILITY, "Filter Flow visibility knob") &&
              named(FP_TBL_FPA_POOL, "FPA pool state") && named(FP_TBL_FLOW, "fp_flow") &&
              named(FP_TBL_CLASSIFIER, "fp_classifier") && named(77, "Tcp Opt flow table"));

constexpr uint32_t copies(const fp_shmem_tbl_entry &t) { return t.per_core ? FP_NUM_CORES : 1; }

// The walk both sides do: per table its unrounded bytes and the end of its last copy.
template <class Fn>
constexpr uint64_t walk_tables(const fp_scaling &s, std::span<const fp_shmem_tbl_entry> tables, Fn &&fn)
{
    uint64_t pos = FP_SHMEM_TABLES_OFFSET;
    for (uint32_t i = 0; i < tables.size(); i++) {
        const uint64_t bytes = uint64_t{tables[i].elem_size} * (s.*tables[i].count);
        if (bytes == 0)
            return 0;
        for (uint32_t c = 0; c < copies(tables[i]); c++) {
            if (!fn(i, c, pos, bytes))
                return 0;
            pos += fp_round128(bytes);
        }
    }
    return pos;
}

constexpr bool fits(int cls)
{
    const fp_scaling &s = kScaling[cls - 1];
    const uint64_t used = walk_tables(s, kTables, [](uint32_t, uint32_t, uint64_t, uint64_t) { return true; });
    return used != 0 && used < s.shmem_size && s.shmem_info_tbl_size >= FP_NUM_TABLES;
}
static_assert(fits(1) && fits(2) && fits(3) && fits(4), "every class's tables fit its block");

struct attach_state {
    uint8_t *base = nullptr;
    uint64_t size = 0;
    uint8_t *free_start = nullptr;
    uint64_t free_bytes = 0;
};
attach_state g_att;

int g_class;
int g_forced_class;
std::string g_sim_size_path = FP_SIM_SIZE_PATH;

void forget_addresses()
{
    for (auto &row : g_fp_tbl_addr)
        for (void *&a : row)
            a = nullptr;
}

uint64_t mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// The word names no owner, so a process that died while laying the block out (killed, or
// stopped by an assertion) leaves it set for good. The layout takes milliseconds: a word
// still set after FP_ATTACH_LOCK_WAIT_MS belongs to a dead process and is taken over.
void spin_lock(uint32_t *word)
{
    std::atomic_ref<uint32_t> w(*word);
    const uint64_t start = mono_ms();
    for (uint32_t spins = 0; w.exchange(1, std::memory_order_acquire) != 0;) {
        while (w.load(std::memory_order_relaxed) == 1) {
            if (++spins % 4096 != 0)
                continue;
            const uint64_t waited = mono_ms() - start;
            if (waited >= FP_ATTACH_LOCK_WAIT_MS) {
                fp_log("fp: the attach lock of shared block %s (spin word at offset 0) is still held after %lu ms: "
                       "a stale lock of a process that died while attaching; taking it over\n",
                       FP_SHMEM_NAME, static_cast<unsigned long>(waited));
                return;  // the word is 1: ours now
            }
            sched_yield();
        }
    }
}

void spin_unlock(uint32_t *word) { std::atomic_ref<uint32_t>(*word).store(0, std::memory_order_release); }

}  // namespace

std::array<fp_shmem_tbl_entry, FP_NUM_TABLES> g_shmem_tbl = kTables;

// ---------------------------------------------------------------------------------------------------
// Scaling class.

const fp_scaling &fp_scaling_of(int cls)
{
    ZEL_ASSERT(cls >= 1 && cls <= static_cast<int>(FP_NUM_CLASSES));
    return kScaling[cls - 1];
}

int fp_scaling_class_pick(const char *line, uint64_t total_ram)
{
    if (line != nullptr) {
        if (strstr(line, "large"))
            return 3;
        if (strstr(line, "regular"))
            return 2;
        if (strstr(line, "small"))
            return 1;
    }
    if (total_ram < 1610612736ull)
        return 1;
    if (total_ram < 2684354560ull)
        return 2;
    if (total_ram <= 0xFFFFFFFFull)
        return 3;
    return 4;
}

int fp_scaling_class_detect()
{
    char line[64];
    const char *got = nullptr;
    if (FILE *f = fopen(g_sim_size_path.c_str(), "re")) {
        got = fgets(line, sizeof line, f);
        fclose(f);
    }
    struct sysinfo si {
    };
    uint64_t ram = sysinfo(&si) == 0 ? uint64_t{si.totalram} * si.mem_unit : 0;
    return fp_scaling_class_pick(got, ram);
}

int fp_scaling_select()
{
    if (g_class == 0) {
        g_class = g_forced_class != 0 ? g_forced_class : fp_scaling_class_detect();
        g_fp_scaling = fp_scaling_of(g_class);
    }
    return g_class;
}

void fp_sim_size_path_set(const char *path) { g_sim_size_path = path ? path : FP_SIM_SIZE_PATH; }

void fp_scaling_force_class(int cls)
{
    ZEL_ASSERT(cls >= 0 && cls <= static_cast<int>(FP_NUM_CLASSES));
    g_forced_class = cls;
}

void fp_scaling_reset() { g_class = 0; }

int fp_scaling_class() { return g_class; }

// ---------------------------------------------------------------------------------------------------
// Layout.

uint64_t fp_shmem_layout(const fp_scaling &s, std::span<fp_shmem_info_entry> out)
{
    ZEL_ASSERT(out.size() >= FP_NUM_TABLES);
    const uint64_t info_start = FP_SHMEM_TABLES_OFFSET;
    return walk_tables(s, g_shmem_tbl, [&](uint32_t i, uint32_t c, uint64_t pos, uint64_t bytes) {
        out[i].size = static_cast<uint32_t>(bytes * copies(g_shmem_tbl[i]));
        if (c + 1 == copies(g_shmem_tbl[i]))
            out[i].offset = static_cast<uint32_t>(pos + fp_round128(bytes) - info_start);
        return true;
    });
}

void *fp_named_block(uint64_t size, const char *name)
{
    int fd = shm_open(name, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        perror("shm_open");
        return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        perror("ftruncate");
        close(fd);
        return nullptr;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        perror("mmap");
        return nullptr;
    }
    return p;
}

int fp_shmem_attach(int create, int lock)
{
    fp_scaling_select();
    const fp_scaling &s = g_fp_scaling;
    fp_shmem_detach();
    auto *base = static_cast<uint8_t *>(fp_named_block(s.shmem_size, FP_SHMEM_NAME));
    if (base == nullptr) {
        fp_log("fp: named-block %s size %u\n", FP_SHMEM_NAME, s.shmem_size);
        return -1;
    }
    g_att.base = base;
    g_att.size = s.shmem_size;
    auto *lock_word = reinterpret_cast<uint32_t *>(base);
    if (lock)
        spin_lock(lock_word);

    auto *info = reinterpret_cast<fp_shmem_info_entry *>(base + FP_SHMEM_TABLES_OFFSET);
    if (create)
        memset(info, 0, uint64_t{g_shmem_tbl[0].elem_size} * s.shmem_info_tbl_size);
    // This process's own records are wrong: stop, but without leaving the lock held.
    auto fail_unlocked = [&](const char *expr, int line) {
        if (lock)
            spin_unlock(lock_word);
        zel_assert_fail(__FILE__, static_cast<unsigned>(line), expr);
    };
    if (s.shmem_info_tbl_size < FP_NUM_TABLES)
        fail_unlocked("g_fp_scaling.shmem_info_tbl_size >= (int)NELEMENTS(g_shmem_tbl)", __LINE__);

    uint8_t *const info_start = reinterpret_cast<uint8_t *>(info);
    uint8_t *cur = info_start;
    uint32_t placed = 0;
    for (uint32_t i = 0; i < NELEMENTS(g_shmem_tbl); i++) {
        const fp_shmem_tbl_entry &t = g_shmem_tbl[i];
        const uint64_t tbl_size = uint64_t{t.elem_size} * (s.*t.count);
        if (tbl_size == 0) {
            fp_log("invalid fp_scaling table entry %i %s. size = 0\n", static_cast<int>(i), t.name);
            fail_unlocked("tbl_size != 0", __LINE__);
        }
        for (uint32_t c = 0; c < copies(t); c++) {
            t.addr[c] = cur;
            // Only the port records are wiped on creation; every other table is left as found, and
            // the policy regions are cleared by the daemon when it starts.
            if (create && i == FP_TBL_PORT_RECORD) {
                memset(cur, 0, tbl_size);
                usleep(5000);
            }
            cur += fp_round128(tbl_size);
        }
        const auto size = static_cast<uint32_t>(tbl_size * copies(t));
        const auto offset = static_cast<uint32_t>(cur - info_start);
        if (info[i].size == 0 && info[i].offset == 0) {
            info[i] = {size, offset};
        } else if (info[i].size != size || info[i].offset != offset) {
            fp_log("fp and pxrd images not compatible! tbl-num %d Expected size %u actual-size %u Expected offset %u "
                   "actual-offset %u\n",
                   static_cast<int>(i), info[i].size, size, info[i].offset, offset);
            break;
        }
        placed++;
    }

    const uint64_t used = static_cast<uint64_t>(cur - base);
    const bool usable = placed == NELEMENTS(g_shmem_tbl) && used < s.shmem_size;
    if (usable) {
        g_att.free_start = cur;
        g_att.free_bytes = s.shmem_size - used;
    }
    if (lock)
        spin_unlock(lock_word);
    ZEL_INVARIANT(__FILE__, "fp shared memory layout usable", usable);
    return 0;
}

void fp_shmem_detach()
{
    if (g_att.base != nullptr)
        munmap(g_att.base, g_att.size);
    g_att = {};
    forget_addresses();
}

void *fp_table(uint32_t tbl, uint32_t core)
{
    ZEL_ASSERT(tbl < FP_NUM_TABLES && core < FP_NUM_CORES);
    return g_fp_tbl_addr[tbl][core];
}

uint32_t fp_table_count(uint32_t tbl)
{
    ZEL_ASSERT(tbl < FP_NUM_TABLES);
    return g_fp_scaling.*g_shmem_tbl[tbl].count;
}

uint8_t *fp_shmem_base() { return g_att.base; }
uint64_t fp_shmem_size() { return g_att.size; }
uint8_t *fp_shmem_free_start() { return g_att.free_start; }
uint64_t fp_shmem_free_bytes() { return g_att.free_bytes; }

bool fp_platform_ready()
{
    int fd = shm_open(FP_SHMEM_NAME, O_RDWR, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool fp_ready_bit()
{
    auto *ctrl = static_cast<fp_global_ctrl *>(fp_table(FP_TBL_GLOBAL_CTRL));
    return ctrl && (std::atomic_ref<uint8_t>(ctrl->status).load(std::memory_order_acquire) & FP_STATUS_READY);
}

void fp_set_ready_bit(bool on)
{
    auto *ctrl = static_cast<fp_global_ctrl *>(fp_table(FP_TBL_GLOBAL_CTRL));
    ZEL_ASSERT(ctrl != nullptr);
    std::atomic_ref<uint8_t> status(ctrl->status);
    if (on)
        status.fetch_or(FP_STATUS_READY, std::memory_order_release);
    else
        status.fetch_and(static_cast<uint8_t>(~FP_STATUS_READY), std::memory_order_release);
}

void fp_log(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (g_fp_console) {
        vprintf(fmt, ap);
        fflush(stdout);
    } else {
        vsyslog(LOG_DEBUG, fmt, ap);
    }
    va_end(ap);
}
