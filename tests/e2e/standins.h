// zeld among every stand-in in the sandbox: cdb-sim (with cdb-cli to commit), fp-sim, krod-sim and
// pxrd-sim. Cases commit configuration through cdb-cli, read what pxrd-sim heard and run packets
// through the published programs with `fp-sim run`.
#pragma once

#include "fp_sim_harness.h"
#include "sandbox.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace e2e
{

// An IPv4 prefix of generated configurations, as the model of a classifier sees it.
struct Prefix {
    uint32_t addr;
    int len;
    bool covers(uint32_t a) const { return len == 0 || (a ^ addr) >> (32 - len) == 0; }
    std::string text() const;
};

std::string addr_text(uint32_t a);

// Values a field accepts, both ends included.
struct Range {
    uint32_t lo, hi;
    bool has(uint32_t v) const { return lo <= v && v <= hi; }
};

// A generated sequence: per field the alternatives it accepts (none: any value); an address side
// names prefixes or one of the generator's prefix lists. Its count is "c<number>".
struct GenSequence {
    int num = 0;
    std::vector<Prefix> src, dst;  // IPv4 only
    int src_list = -1, dst_list = -1;
    std::vector<Range> proto, sport, dport, tos, len;  // tos: DSCP, or the IPv6 traffic class
    bool syn = false, drop = false;
};

// A packet: IPv4 addresses (an IPv6 packet is a flow of its own), ports for TCP and UDP, TCP flags,
// the length from the IP header on, and the TOS byte or traffic class.
struct GenPacket {
    uint32_t src = 0, dst = 0, proto = 0, sport = 0, dport = 0, flags = 0, len = 0, tos = 0;
};

// One UDP, TCP and ICMP packet each, as a ClassBench trace.
inline constexpr const char *kThreePackets = "167772161\t167772162\t1000\t53\t17\t0\t0\n"
                                             "167772161\t167772162\t1000\t80\t6\t0\t0\n"
                                             "167772161\t167772162\t0\t0\t1\t0\t0\n";

// A capture of Ethernet frames, one per millisecond.
std::string pcap(const std::vector<GenPacket> &ps, bool v6);

// Seeded sequences, packets aimed at their prefixes and the first-match reference, as a data policy
// or an access list of either family. `compact` keeps a data policy's program small: few prefixes and
// port boundaries, no prefix lists, and no catch-all sequence hiding the ones after it.
class Generated
{
public:
    enum Kind { data, compact, acl4, acl6 };
    Generated(uint32_t seed, Kind kind);
    uint32_t uni(size_t n);
    Prefix pick() { return pool_[uni(pool_.size())]; }
    GenSequence sequence(int num);
    // n sequences of distinct numbers, multiples of `step`, in random order (configuration order is
    // not evaluation order).
    std::vector<GenSequence> sequences(int n, int step);
    std::vector<GenPacket> packets(size_t n);
    // The first matching sequence in ascending order, nullptr for the default action.
    const GenSequence *first_match(const std::vector<GenSequence> &seqs, const GenPacket &p) const;
    // Data policy "gen" on vpn-list "gen-vpns" (VPNs 100-102), default drop, with the prefix lists.
    std::string json(const std::vector<GenSequence> &seqs) const;
    // The prefix lists pl-0... as data-prefix-list entries, and one access list.
    std::string lists_json() const;
    std::string acl_json(const std::string &name, bool drop, const std::vector<GenSequence> &seqs) const;
    bool v6() const { return kind_ == acl6; }

    std::vector<std::vector<Prefix>> lists;  // the prefix lists pl-0...

private:
    std::vector<Prefix> two();
    std::string sequence_json(const GenSequence &s) const;
    std::mt19937 rng_;
    Kind kind_;
    std::vector<Prefix> pool_;
};

class StandIns : public SandboxTest
{
protected:
    void SetUp() override;
    void TearDown() override;
    // The forwarding plane's scaling class; "regular" has room for a program and the ones it
    // replaces while they wait for their release.
    virtual const char *sim_size() const { return "regular"; }
    // Whether sysmgr-sim runs too (started last).
    virtual bool with_sysmgr() const { return false; }

    void start_zeld();
    // Starts cdb-sim on the state directory and completes its start-up phase.
    void start_cdb();
    // pxrd-sim killed and started again.
    void restart_pxrd();
    // Runs cdb-cli; stdout and stderr together.
    std::string cli(const std::vector<std::string> &args, int *rc = nullptr) { return cdb_cli(args, rc); }
    // Runs a cdb-cli request that must succeed; its output.
    std::string request(const std::string &action);
    // Commits a configuration (load merges, replace replaces); the exit code of cdb-cli.
    int commit(const std::string &how, const std::string &json, std::string *out = nullptr);
    // Loads files of examples/, which the database must accept.
    void load_examples(const std::vector<std::string> &names = {"data-policy.json", "app-route-policy.json",
                                                                "access-lists.json", "lists-and-objects.json"});
    // Commits a configuration the database must accept.
    void apply(const std::string &json, const std::string &how = "load");

    // The next pxrd-sim line at or after *cursor matching re; its capture groups (empty when none).
    std::smatch pxrd_line(const std::string &re, size_t *cursor, std::chrono::milliseconds wait = kWait);
    // The filter policy `name` (a regular expression) is bound to once pxrd-sim has heard nothing new
    // for a while; -1 when the last word is not a binding to a filter.
    int settled_filter(const std::string &name);
    // Waits until pxrd-sim has heard nothing new for a while; its line count then.
    size_t pxrd_quiet();
    size_t pxrd_lines() const;
    // pxrd-sim's output once it stopped growing (and matches `must`, when given).
    std::string quiet_output(const std::string &must);

    // fp-sim's verdict lines for a trace or capture through filter `filter`.
    std::vector<std::string> run_file(int filter, const std::string &path);
    std::vector<std::string> run_trace(int filter, const std::string &trace);
    // The same for generated packets, as a capture.
    std::vector<std::string> run_capture(int filter, const std::vector<GenPacket> &ps, bool v6 = false);
    // Every packet through filter `filter` gets the verdict of the first matching sequence, the
    // default action otherwise, and most packets match a sequence.
    void expect_first_match(const Generated &g, const std::vector<GenSequence> &seqs, bool default_drop,
                            const std::vector<GenPacket> &trace, int filter);

    std::string dir_;
    std::unique_ptr<Process> fp_, cdb_, krod_, zeld_, pxrd_, sysmgr_;
};

}  // namespace e2e
