// zelc: compiles rule files into program images, dumps them and classifies
// packet traces through them with the reference interpreter.
#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "tools/zelc/zelc_rules.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace
{

const char USAGE[] = "usage: zelc compile RULES [-o IMAGE] [--blocks N] [--format native|classbench]\n"
                     "       zelc dump RULES [--blocks N] [--format native|classbench]\n"
                     "       zelc classify RULES TRACE [--bench] [--blocks N] [--format native|classbench]\n"
                     "       zelc trace RULES [--count N] [--seed S] [--format native|classbench]\n"
                     "RULES is a rule file (native format by default), TRACE a ClassBench trace.\n"
                     "Program memory is N blocks of 128 bytes (default 1048576).\n";

struct options {
    std::string command;
    std::vector<std::string> files;
    std::string output;
    zelc_format format = zelc_format::native;
    uint32_t blocks = 1048576;
    uint32_t count = 10000;
    uint32_t seed = 1;
    bool bench = false;
};

int usage(const char *why, const std::string &arg)
{
    if (why)
        std::fprintf(stderr, "zelc: %s%s\n", why, arg.c_str());
    std::fputs(USAGE, stderr);
    return 2;
}

bool parse_count(const std::string &s, uint32_t min, uint32_t *out)
{
    char *end;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 10);
    if (s.empty() || *end || errno || v < min || v > 0xFFFFFFFFul || s[0] == '-')
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int parse_args(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], val;
        bool has_val = false;
        if (a.starts_with("--") && a.find('=') != std::string::npos) {
            val = a.substr(a.find('=') + 1);
            a = a.substr(0, a.find('='));
            has_val = true;
        }
        auto value = [&](std::string *v) {
            if (has_val) {
                *v = val;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (a == "--bench") {
            o->bench = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(&o->output))
                return usage("missing file name after ", a);
        } else if (a == "--format") {
            if (!value(&v) || (v != "native" && v != "classbench"))
                return usage("--format takes 'native' or 'classbench', got ", v);
            o->format = v == "classbench" ? zelc_format::classbench : zelc_format::native;
        } else if (a == "--blocks" || a == "--count" || a == "--seed") {
            uint32_t *dst = a == "--blocks" ? &o->blocks : a == "--count" ? &o->count : &o->seed;
            if (!value(&v) || !parse_count(v, a == "--blocks" ? 1 : 0, dst))
                return usage((a + " takes a number, got ").c_str(), v);
        } else if (a.size() > 1 && a[0] == '-') {
            return usage("unknown option ", a);
        } else if (o->command.empty()) {
            o->command = a;
        } else {
            o->files.push_back(a);
        }
    }
    size_t want = o->command == "classify" ? 2 : 1;
    if (o->command != "compile" && o->command != "dump" && o->command != "classify" && o->command != "trace")
        return usage(o->command.empty() ? "missing command" : "unknown command ", o->command);
    if (o->files.size() != want)
        return usage(o->command == "classify" ? "expected RULES and TRACE files" : "expected one RULES file", "");
    return 0;
}

// Compiles, reporting failures; 0 or the exit status.
int compile(const options &o, const zelc_ruleset &rs, zelc_compiled *c)
{
    int rc = zelc_compile(rs, o.blocks, c);
    if (rc == 12 && c->no_memory == ZEL_NO_MEMORY_PROGRAM) {
        std::fprintf(stderr,
                     "zelc: %s: out of program memory: the image needs at least %u bytes (%llu blocks of %u), "
                     "the program memory has %u blocks\n",
                     o.files[0].c_str(), c->size, static_cast<unsigned long long>(zelc_blocks_for(c->size)),
                     ZEL_PROG_BLOCK_SIZE, o.blocks);
        return 1;
    }
    if (rc == 12) {
        std::fprintf(stderr,
                     "zelc: %s: out of compiler working memory (the compiler's own memory or its limit; more "
                     "program memory does not help)\n",
                     o.files[0].c_str());
        return 1;
    }
    if (rc == 2) {
        std::fprintf(stderr, "zelc: %s: no rules, nothing to compile\n", o.files[0].c_str());
        return 1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "zelc: %s: compilation failed: error %d\n", o.files[0].c_str(), rc);
        return 1;
    }
    return 0;
}

int cmd_compile(const options &o, const zelc_ruleset &rs)
{
    zelc_compiled c;
    long before = zelc_rss_kib();
    zel_debug_flags |= ZEL_DEBUG_POLICY | ZEL_DEBUG_STDOUT;
    int rc = compile(o, rs, &c);
    zel_debug_flags &= ~(ZEL_DEBUG_POLICY | ZEL_DEBUG_STDOUT);
    if (rc)
        return rc;
    long peak = zelc_peak_kib();
    std::printf("rules: %zu\n", rs.rules.size());
    std::printf("tables: %u leaf, %u combined\n", c.leaf_tables, c.combined_tables);
    std::printf("classes of the root: %u\n", c.root_classes);
    std::printf("image: %u bytes (%llu blocks)\n", c.size, static_cast<unsigned long long>(zelc_blocks_for(c.size)));
    std::printf("compile time: %.3f ms (CPU %.3f ms, all threads %.3f ms)\n", c.seconds * 1e3, c.cpu_seconds * 1e3,
                c.process_cpu_seconds * 1e3);
    std::printf("peak memory: %ld KiB (%ld KiB above the rule set)\n", peak, peak > before ? peak - before : 0);
    if (!o.output.empty()) {
        std::ofstream f(o.output, std::ios::binary);
        f.write(reinterpret_cast<const char *>(c.image.data()), static_cast<std::streamsize>(c.image.size()));
        if (!f.flush()) {
            std::fprintf(stderr, "zelc: %s: cannot write: %s\n", o.output.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

int cmd_dump(const options &o, const zelc_ruleset &rs)
{
    zelc_compiled c;
    if (int rc = compile(o, rs, &c))
        return rc;
    std::fflush(stdout);
    zel_program_dump(c.image.data(), nullptr);
    return 0;
}

int cmd_classify(const options &o, const zelc_ruleset &rs)
{
    std::vector<zelc_packet> pkts;
    std::string err;
    if (zelc_read_trace(o.files[1], &pkts, &err) != 0) {
        std::fprintf(stderr, "zelc: %s\n", err.c_str());
        return 1;
    }
    zelc_compiled c;
    if (int rc = compile(o, rs, &c))
        return rc;
    zelc_classifier cl;
    if (cl.load(rs, c.image, &err) != 0) {
        std::fprintf(stderr, "zelc: %s: %s\n", o.files[0].c_str(), err.c_str());
        return 1;
    }
    if (o.bench) {
        if (pkts.empty()) {
            std::fprintf(stderr, "zelc: %s: empty trace\n", o.files[1].c_str());
            return 1;
        }
        using clock = std::chrono::steady_clock;
        uint64_t n = 0, sum = 0;
        auto t0 = clock::now();
        double secs = 0;
        while (secs < 1.0) {
            for (const zelc_packet &p : pkts)
                sum += static_cast<uint64_t>(cl.classify(p));
            n += pkts.size();
            secs = std::chrono::duration<double>(clock::now() - t0).count();
        }
        std::printf("classified %lu packets in %.3f s: %.0f packets/s, %.1f ns/packet (checksum %lu)\n",
                    static_cast<unsigned long>(n), secs, n / secs, secs * 1e9 / n, static_cast<unsigned long>(sum));
        return 0;
    }
    uint64_t missed = 0;
    for (const zelc_packet &p : pkts) {
        int64_t r = cl.classify(p);
        if (r < 0) {
            missed++;
            std::puts("-");
        } else {
            std::printf("%ld\n", static_cast<long>(r));
        }
    }
    if (missed) {
        std::fprintf(stderr, "zelc: %lu packets found no class in the program (printed as '-')\n",
                     static_cast<unsigned long>(missed));
        return 1;
    }
    return 0;
}

// A trace for a rule set that has none; the FILTER column holds the first
// matching rule (0-based), 4294967295 when none matches.
int cmd_trace(const options &o, const zelc_ruleset &rs)
{
    for (const zelc_packet &p : zelc_generate_packets(rs, o.count, o.seed)) {
        uint32_t m = zelc_linear_match(rs, p);
        std::printf("%s\n", zelc_trace_line(p, m ? m - 1 : 0xFFFFFFFFu).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (int rc = parse_args(argc, argv, &o))
        return rc;
    zelc_ruleset rs;
    std::string err;
    if (zelc_read_rules(o.files[0], o.format, &rs, &err) != 0) {
        std::fprintf(stderr, "zelc: %s\n", err.c_str());
        return 1;
    }
    if (o.command == "compile")
        return cmd_compile(o, rs);
    if (o.command == "dump")
        return cmd_dump(o, rs);
    if (o.command == "classify")
        return cmd_classify(o, rs);
    return cmd_trace(o, rs);
}
