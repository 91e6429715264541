// zeld among every stand-in in the sandbox: cdb-sim (with cdb-cli to commit), fp-sim, krod-sim and
// pxrd-sim. Cases commit configuration through cdb-cli, read what pxrd-sim heard and run packets
// through the published programs with `fp-sim run`.
#pragma once

#include "fp_sim_harness.h"
#include "sandbox.h"

#include <chrono>
#include <cstdint>
#include <functional>
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

// A generated sequence: its number, its match leaves ("\"leaf\":value") and the base action, counted
// as "c<number>".
std::string sequence_json(int num, const std::vector<std::string> &matches, bool drop);

std::string addr_text(uint32_t a);

// Values a field accepts, both ends included.
struct Range {
    uint32_t lo, hi;
    bool has(uint32_t v) const { return lo <= v && v <= hi; }
};

// A generated data-policy sequence: per field the alternatives it accepts (none: any value); an
// address side names prefixes or one of the generator's prefix lists.
struct GenSequence {
    int num = 0;
    std::vector<Prefix> src, dst;
    int src_list = -1, dst_list = -1;
    std::vector<Range> proto, sport, dport, dscp, len;
    bool drop = false;
};

struct GenPacket {
    uint32_t src, dst, proto, sport, dport, dscp, len;
};

// A packet of a capture: IPv4 addresses (IPv6 packets get a flow of their own), ports for TCP and UDP,
// TCP flags, the length from the IP header on and the TOS byte or traffic class.
struct CapPacket {
    uint32_t src = 0, dst = 0;
    int proto = 0, sport = 0, dport = 0, flags = 0, len = 0, tos = 0;
};
// A capture of Ethernet frames, one per millisecond.
std::string pcap(const std::vector<CapPacket> &ps, bool v6);

// Seeded data policy "gen" on vpn-list "gen-vpns" (VPNs 100-102), packets aimed at its prefixes and
// the first-match reference. `compact` keeps the program small: few prefixes and port boundaries,
// no prefix lists, and no catch-all sequence hiding the ones after it; otherwise sequences use prefix
// lists, any destination port range, and may match every packet.
class Generated
{
public:
    Generated(uint32_t seed, bool compact);
    uint32_t uni(size_t n);
    GenSequence sequence(int num);
    GenPacket packet();
    // The number of the first matching sequence in ascending order, or -1 (the default action, drop).
    int first_match(const std::vector<GenSequence> &seqs, const GenPacket &p) const;
    std::string json(const std::vector<GenSequence> &seqs) const;

private:
    Prefix pick() { return pool_[uni(pool_.size())]; }
    std::mt19937 rng_;
    bool compact_;
    std::vector<Prefix> pool_;
    std::vector<std::vector<Prefix>> lists_;
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
    // Runs cdb-cli; stdout and stderr together.
    std::string cli(const std::vector<std::string> &args, int *rc = nullptr) { return cdb_cli(args, rc); }
    // Runs a cdb-cli request that must succeed; its output.
    std::string request(const std::string &action);
    // Commits a configuration (load merges, replace replaces); the exit code of cdb-cli.
    int commit(const std::string &how, const std::string &json, std::string *out = nullptr);

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
    // The same for generated packets, as a capture carrying every field.
    std::vector<std::string> run_capture(int filter, const std::vector<GenPacket> &ps);
    std::vector<std::string> run_capture(int filter, const std::vector<CapPacket> &ps, bool v6);
    // Checks fp-sim's verdict lines against a first-match model: want(i) is packet i's sequence number
    // (-1 for the default action) and whether it drops. The number of packets that matched a sequence.
    int expect_first_match(const std::vector<std::string> &lines, size_t n,
                           const std::function<std::pair<int, bool>(size_t)> &want);

    std::string dir_;
    std::unique_ptr<Process> fp_, cdb_, krod_, zeld_, pxrd_, sysmgr_;
};

}  // namespace e2e
