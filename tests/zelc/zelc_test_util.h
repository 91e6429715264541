// Shared helpers of the zelc tests: the ClassBench data directory and running commands.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_dirs.h"

inline std::string classbench_dir()
{
    std::string dir = zel_test_source_dir() + "/../shared/data/classbench";
    return std::filesystem::is_directory(dir) ? dir : std::string();
}

#define ZELC_NEED_CLASSBENCH(dir)                                                                                      \
    std::string dir = classbench_dir();                                                                                \
    if (dir.empty())                                                                                                   \
    GTEST_SKIP() << "no ClassBench data beside the source tree (../shared/data/classbench)"

inline std::string zelc_binary() { return zel_test_build_dir() + "/bin/zelc"; }

struct command_result {
    int status = -1;
    std::string out;
};

// Runs a shell command, collecting standard output.
inline command_result run_command(const std::string &cmd)
{
    command_result r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string temp_path(const std::string &name)
{
    return (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name)).string();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// FNV-1a over little-endian 64-bit words, then the tail bytes.
inline uint64_t image_hash(const std::string &path, size_t *size)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    *size = b.size();
    uint64_t h = 0xcbf29ce484222325ull;
    size_t i = 0;
    for (; i + 8 <= b.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, b.data() + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
    }
    for (; i < b.size(); i++)
        h = (h ^ static_cast<uint8_t>(b[i])) * 0x100000001b3ull;
    return h;
}
