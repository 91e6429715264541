// Forwarding-plane shared memory: scaling classes, the table list and the layout of the block
// "almushtarika" that the daemon and the forwarding plane share.
//
// Both sides walk the same table list with the same scaling record and lay every table out at the
// same offset from the block start; the info table at the head of the block records each table's
// size and end offset so that the second side to attach can tell whether it agrees with the first.
//
//   0        spin lock word (held only while laying out)
//   128      fp_shmem_info: shmem_info_tbl_size x {size, end offset from the info table}
//   ...      every further table in list order, each on a 128-byte boundary; a per-core table
//            once per forwarding core, the copies one after the other
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr const char *FP_SHMEM_NAME = "almushtarika";
inline constexpr const char *FP_SIM_SIZE_PATH = "/etc/default/sim_size";
inline constexpr uint32_t FP_SHMEM_ALIGN = 128;
inline constexpr uint32_t FP_SHMEM_TABLES_OFFSET = 128;
inline constexpr uint32_t FP_NUM_CLASSES = 4;
inline constexpr uint32_t FP_NUM_TABLES = 78;
inline constexpr uint32_t FP_NUM_DPI_PROTO_FAMILY_MAPPING = 4096;
// Forwarding cores of the simulated platform's core list: copies of each per-core table.
inline constexpr uint32_t FP_NUM_CORES = 2;

constexpr uint64_t fp_round128(uint64_t n) { return (n + FP_SHMEM_ALIGN - 1) / FP_SHMEM_ALIGN * FP_SHMEM_ALIGN; }

// ---------------------------------------------------------------------------------------------------
// Scaling: one fixed record per class, 72 counts; each table takes its element count from one of them.

struct fp_scaling {
    uint32_t shmem_info_tbl_size;  // info table entries, at least the number of tables
    uint32_t shmem_size;           // bytes of the shared block
    uint32_t dpi_mem_size;         // bytes of the inspection engine's memory block
    uint32_t ports;
    uint32_t vrfs;
    uint32_t labels;
    uint32_t interfaces;
    uint32_t if_hash;
    uint32_t tunnels;
    uint32_t tun_hash;
    uint32_t arp;
    uint32_t arp_hash;
    uint32_t next_hops;
    uint32_t classifiers;
    uint32_t policers;
    uint32_t rewrites;
    uint32_t fc_to_q;
    uint32_t fib_blocks;
    uint32_t fib_large_blocks;
    uint32_t one;  // single-record tables
    uint32_t global_stats;
    uint32_t pre_core_data;
    uint32_t inbound_sa;
    uint32_t sub_inbound_sa;
    uint32_t inbound_sa_hash;
    uint32_t sub_inbound_sa_hash;
    uint32_t outbound_sa;
    uint32_t bfd;
    uint32_t bfd_hash;
    uint32_t filter_mem;  // 128-byte blocks of program memory
    uint32_t filters;     // filter slots
    uint32_t profiler;
    uint32_t ctrl_tun_hash;
    uint32_t ctrl_tun;
    uint32_t mcast_group_hash;
    uint32_t nat_if;
    uint32_t nat_port_fwd;
    uint32_t nat_map;
    uint32_t nat_map_hash;
    uint32_t nat_filter;
    uint32_t nat_filter_hash;
    uint32_t ipfrag;
    uint32_t ipfrag_hash;
    uint32_t mcast_groups;
    uint32_t tundb_hash;
    uint32_t tundb;
    uint32_t mcast_stats;
    uint32_t paths;
    uint32_t path_ext;
    uint32_t flows;
    uint32_t flow_hash;
    uint32_t fib6_blocks;
    uint32_t bridges;
    uint32_t bridge_mac_stats;
    uint32_t macs;
    uint32_t bridge_id_map;
    uint32_t bridge_mac_hash;
    uint32_t debug_records;
    uint32_t dpi_proto_family_mapping;
    uint32_t dpi_proto_hits;
    uint32_t dpi_stats;
    uint32_t dpi_flow_stat_nodes;
    uint32_t nat_pools;
    uint32_t pkt_buffers;     // packet buffers of the FPA pool
    uint32_t fpa_pool_bytes;  // pool control region (rounded to 128) and its buffers
    uint32_t tun_avl;
    uint32_t app_tun_map;
    uint32_t vrid_app_map;
    uint32_t server_appid;
    uint32_t server_appid_hash;
    uint32_t tcp_opt_flow_hash;
    uint32_t tcp_opt_flows;
};
static_assert(sizeof(fp_scaling) == 72 * 4);
static_assert(offsetof(fp_scaling, shmem_info_tbl_size) == 0);

inline constexpr uint32_t FP_PKT_BUFFER_SIZE = 2048;

// The record of a class (1 ... 4).
const fp_scaling &fp_scaling_of(int cls);

// Class from the first line of the sim_size file (nullptr: no file) and the total RAM in bytes.
int fp_scaling_class_pick(const char *sim_size_line, uint64_t total_ram);
// Reads the sim_size file (at most 63 characters of its first line) and the host's RAM.
int fp_scaling_class_detect();
// Selects the class once per process (detected unless one was forced) and copies its record into
// g_fp_scaling. Returns the class.
int fp_scaling_select();
// Test and tool hooks: where the sim_size file is read, or a class to use without reading it
// (0 forgets a forced class). Only before the first selection, or with fp_scaling_reset.
void fp_sim_size_path_set(const char *path);
void fp_scaling_force_class(int cls);
void fp_scaling_reset();
int fp_scaling_class();  // 0 before selection

extern fp_scaling g_fp_scaling;

// ---------------------------------------------------------------------------------------------------
// Tables.

enum fp_tbl : uint32_t {
    FP_TBL_SHMEM_INFO = 0,
    FP_TBL_PORT_RECORD = 1,
    FP_TBL_CLASSIFIER = 13,
    FP_TBL_GLOBAL_CTRL = 19,
    FP_TBL_FILTER_MEM = 30,
    FP_TBL_FILTERS = 31,
    FP_TBL_IPFRAG = 43,
    FP_TBL_IPFRAG_HASH = 44,
    FP_TBL_FLOW = 51,
    FP_TBL_DPI_MEM = 60,
    FP_TBL_DPI_PROTO_FAMILY_MAPPING = 61,
    FP_TBL_DPI_PROTO_HITS = 62,
    FP_TBL_DPI_APP_VISIBILITY = 63,
    FP_TBL_FILTER_LOG_CFG = 67,
    FP_TBL_FILTER_FLOW_VISIBILITY = 68,
    FP_TBL_FPA_POOL = 69,
};

struct fp_shmem_tbl_entry {
    void **addr;  // where the address is stored: one slot, or FP_NUM_CORES for a per-core table
    uint32_t elem_size;
    uint32_t fp_scaling::*count;
    const char *name;
    bool per_core;
};

// The table list in layout order. Mutable so that a test can make a process disagree with its peer.
extern std::array<fp_shmem_tbl_entry, FP_NUM_TABLES> g_shmem_tbl;

// Info table entry (shared): bytes of all copies of the table, unrounded, and the offset of its end
// (after the 128-byte rounding) from the start of the info table.
struct fp_shmem_info_entry {
    uint32_t size;
    uint32_t offset;
};
static_assert(sizeof(fp_shmem_info_entry) == 8);
static_assert(offsetof(fp_shmem_info_entry, offset) == 4);

// The info entries a class's layout gives, without any block (out: FP_NUM_TABLES entries).
// Returns the bytes the tables use from the block start, 0 when an element count is 0.
uint64_t fp_shmem_layout(const fp_scaling &s, std::span<fp_shmem_info_entry> out);

// ---------------------------------------------------------------------------------------------------
// Shared records the daemon reads or writes.

// The forwarding plane's global control record ("fp-global-ctrl"), also its status record.
struct fp_global_ctrl {
    uint32_t version;
    uint32_t ncores;
    uint64_t clock_hz;  // forwarding clock: policer rates are in its cycles
    uint16_t reserved0;
    uint8_t status;  // FP_STATUS_READY: the forwarding plane runs on this block
    uint8_t reserved1[5];
    int32_t pid;  // the forwarding plane's process
    uint8_t reserved2[228];
};
static_assert(sizeof(fp_global_ctrl) == 256);
static_assert(offsetof(fp_global_ctrl, clock_hz) == 8);
static_assert(offsetof(fp_global_ctrl, status) == 18);
static_assert(offsetof(fp_global_ctrl, pid) == 24);
inline constexpr uint8_t FP_STATUS_READY = 1u << 2;

// A filter table slot.
struct fp_filter_slot {
    uint16_t valid;  // 1 while a program is published here
    uint8_t flags;   // FP_FILTER_ACTIVE: set by the forwarding plane when it runs the filter
    uint8_t reserved;
    uint32_t hw_index;  // first 128-byte block of the program
    uint32_t nblocks;
};
static_assert(sizeof(fp_filter_slot) == 12);
static_assert(offsetof(fp_filter_slot, flags) == 2);
static_assert(offsetof(fp_filter_slot, hw_index) == 4);
static_assert(offsetof(fp_filter_slot, nblocks) == 8);
inline constexpr uint8_t FP_FILTER_ACTIVE = 0x1;
inline constexpr uint32_t FP_FILTER_BLOCK_SIZE = 128;

// "Filter Log Configuration": opaque to the daemon, which only clears it.
struct fp_filter_log_cfg {
    uint32_t words[35];
};
static_assert(sizeof(fp_filter_log_cfg) == 140);

// ---------------------------------------------------------------------------------------------------
// Attachment.

// Address of a table (copy `core` of a per-core table) after fp_shmem_attach; nullptr before.
void *fp_table(uint32_t tbl, uint32_t core = 0);
uint32_t fp_table_count(uint32_t tbl);  // elements of one copy under the selected class
uint8_t *fp_shmem_base();
uint64_t fp_shmem_size();
// First free byte after the tables and the bytes left up to the block end.
uint8_t *fp_shmem_free_start();
uint64_t fp_shmem_free_bytes();

// Selects the class, gets the block, lays the tables out (taking the spin lock when `lock`), fills or
// checks the info table (zeroed first when `create`). 0, or -1 when the block cannot be had. A layout
// that disagrees with the info table or does not fit stops the process.
int fp_shmem_attach(int create, int lock);
// Unmaps the block (the tables' addresses are forgotten).
void fp_shmem_detach();
// shm_open(O_RDWR | O_CREAT, 0600), ftruncate, mmap shared read-write; nullptr on failure.
void *fp_named_block(uint64_t size, const char *name);

// The platform readiness check: the forwarding plane has made its shared block.
bool fp_platform_ready();
// Bit FP_STATUS_READY of the status record of the attached block.
bool fp_ready_bit();
void fp_set_ready_bit(bool on);

// How long fp_shmem_attach waits for the attach lock before it takes the lock as left
// by a process that died while attaching, and takes it over.
inline constexpr uint64_t FP_ATTACH_LOCK_WAIT_MS = 3000;

// Log lines of this layer: standard output while the console flag is set, else syslog at LOG_DEBUG.
extern int g_fp_console;
void fp_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
