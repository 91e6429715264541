// Rule sets and packet traces for the compiler tools: the ClassBench filter and
// trace formats, the native rule format (tools/zelc/README.md), a first-match
// linear search over a rule set, and compiling a rule set into a program image.
//
// Readers return 0, or 22 with *err = "FILE:LINE: expected ..., got '...'";
// 2 when the file cannot be opened.
#pragma once

#include "compiler/zel_action.h"
#include "compiler/zel_fpinterp.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct compile_context;

enum class zelc_format { native, classbench };

// One range on a compiler field; prefixes keep their address and length so
// that the compiler does its own conversion.
struct zelc_cond {
    uint32_t field;  // compiler field id
    uint32_t lo, hi;
    bool prefix = false;
    uint8_t addr[4] = {};
    uint32_t len = 0;
};

struct zelc_rule {
    std::string name;              // sequence number text
    uint32_t line = 0;             // line in the rule file
    std::vector<zelc_cond> conds;  // ranges on one field are alternatives
    std::unique_ptr<zel_action_data> action;
};

struct zelc_ruleset {
    std::string name;
    std::vector<zelc_rule> rules;  // first match wins
    std::unique_ptr<zel_action_data> default_action;
};

// One packet: a value per compiler field (MATCH_ANY = 1).
struct zelc_packet {
    uint32_t v[ZEL_FP_FIELDS] = {};
};

// Single-line parsers; on failure *what says what was expected.
int zelc_parse_classbench_rule(std::string_view line, uint32_t number, zelc_rule *out, std::string *what);
int zelc_parse_trace_line(std::string_view line, zelc_packet *out, std::string *what);

int zelc_read_rules(const std::string &path, zelc_format fmt, zelc_ruleset *out, std::string *err);
int zelc_read_rules_text(std::string_view text, const std::string &path, zelc_format fmt, zelc_ruleset *out,
                         std::string *err);
int zelc_read_trace(const std::string &path, std::vector<zelc_packet> *out, std::string *err);
int zelc_read_trace_text(std::string_view text, const std::string &path, std::vector<zelc_packet> *out,
                         std::string *err);
// ClassBench trace line of a packet (the FILTER column holds `filter`).
std::string zelc_trace_line(const zelc_packet &p, uint32_t filter);

// 1-based number of the first rule matching p, 0 when none does.
uint32_t zelc_linear_match(const zelc_ruleset &rs, const zelc_packet &p);

// Packets for a rule set without a trace: per rule its low and high corners
// and a random point inside, then uniformly random headers.
std::vector<zelc_packet> zelc_generate_packets(const zelc_ruleset &rs, uint32_t random_count, uint32_t seed);

struct zel_prog_heap;

// A compiled rule set: the image in program memory of `blocks` 128-byte blocks, which the result keeps
// (copies share it).
struct zelc_compiled {
    std::span<const uint8_t> image;         // inside `memory`
    std::shared_ptr<zel_prog_heap> memory;  // the program memory the image lives in
    uint32_t size = 0;                      // bytes, also the bytes needed on failure
    uint32_t no_memory = 0;                 // on 12: ZEL_NO_MEMORY_PROGRAM or ZEL_NO_MEMORY_COMPILER
    uint32_t leaf_tables = 0, combined_tables = 0, root_classes = 0;
    double seconds = 0;              // wall time of the compile call
    double cpu_seconds = 0;          // CPU time of the calling thread over the same call
    double process_cpu_seconds = 0;  // CPU time of all threads of the process over the same call
};

// 0; 12 out of memory (out->no_memory says whose; out->size = bytes needed or a lower bound); 22.
int zelc_compile(const zelc_ruleset &rs, uint32_t blocks, zelc_compiled *out);

// A compile context and its program memory kept across compilations, as the daemon keeps its own: the
// second compilation finds the working pool and program pages of the first. An image lives until the
// next compile (or the session's end).
class zelc_session
{
public:
    explicit zelc_session(uint32_t blocks);
    ~zelc_session();
    zelc_session(const zelc_session &) = delete;
    zelc_session &operator=(const zelc_session &) = delete;
    int compile(const zelc_ruleset &rs, zelc_compiled *out);
    // Leaves the last image to the program memory (released with it) instead of freeing it.
    void keep_image() { image_ = nullptr; }

private:
    std::shared_ptr<zel_prog_heap> heap_;
    compile_context *ctx_ = nullptr;
    void *image_ = nullptr;
};
// Blocks of 128 bytes that hold `bytes` (64-bit: a size near 2^32 needs 2^25 blocks).
inline uint64_t zelc_blocks_for(uint64_t bytes) { return (bytes + 127) / 128; }

// Resident and peak resident memory of the process, KiB.
long zelc_rss_kib();
long zelc_peak_kib();
// CPU time the calling thread has used, seconds (timings on a loaded machine compare by this).
double zelc_thread_cpu_seconds();
double zelc_process_cpu_seconds();

// Maps each action block of a loaded program to the rule it came from.
class zelc_classifier
{
public:
    // 0, or 22 with *err when the image is malformed or a block belongs to no rule.
    int load(const zelc_ruleset &rs, std::span<const uint8_t> image, std::string *err);
    // Rule number (1-based), 0 for the default action; -1 when the program
    // finds no row for a value, -2 when the class has no action block.
    int64_t classify(const zelc_packet &p) const
    {
        uint32_t idx;
        int rc = prog_.run(p.v, &idx);
        if (rc == 0)
            return rule_of_[idx];
        return rc == 2 ? -1 : -2;
    }
    const zel_fp_program &program() const { return prog_; }

private:
    zel_fp_program prog_;
    std::vector<uint32_t> rule_of_;
};
