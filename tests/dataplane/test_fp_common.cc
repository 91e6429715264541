// Scaling classes and the table layout, without any shared block.
#include "dataplane/fp_common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace
{

TEST(ScalingClass, SimSizeWordsWinOverRamThenRamBoundariesAndTheInfoTableComesFirst)
{
    const uint64_t big = 64ull << 30, tiny = 1ull << 30;
    // "large" is tested first; with no known word the RAM decides.
    const std::tuple<const char *, uint64_t, int> cases[] = {
        {"small\n", big, 1},         {"regular\n", tiny, 2},      {"large", tiny, 3},
        {"small large", tiny, 3},    {"regular small", big, 2},   {"huge\n", tiny, 1},
        {nullptr, 1610612735ull, 1}, {nullptr, 1610612736ull, 2}, {nullptr, 2684354559ull, 2},
        {nullptr, 2684354560ull, 3}, {nullptr, 0xFFFFFFFFull, 3}, {nullptr, 0x100000000ull, 4},
    };
    for (const auto &[words, ram, want] : cases)
        EXPECT_EQ(fp_scaling_class_pick(words, ram), want) << (words ? words : "-") << " " << ram;

    // The info table comes first and ends on a boundary.
    std::vector<fp_shmem_info_entry> info(FP_NUM_TABLES);
    fp_shmem_layout(fp_scaling_of(1), info);
    EXPECT_EQ(info[0].size, 8u * 128);
    EXPECT_EQ(info[0].offset, 1024u);
    EXPECT_EQ(info[1].offset, 1024u + 256 * 16);
}

TEST(SimSizeFile, SelectionReadsTheFirstLineOnceUnlessAClassIsForced)
{
    const std::string path = "/tmp/sim_size." + std::to_string(getpid());
    auto write = [&](const std::string &text) { ASSERT_TRUE(std::ofstream(path) << text); };
    fp_sim_size_path_set(path.c_str());
    write("regular\nlarge\n");
    fp_scaling_reset();
    EXPECT_EQ(fp_scaling_select(), 2);
    EXPECT_EQ(g_fp_scaling.shmem_size, 184549376u);
    EXPECT_EQ(g_fp_scaling.filter_mem, 65536u);
    write("small\n");
    EXPECT_EQ(fp_scaling_select(), 2) << "chosen once per process";
    fp_scaling_reset();
    EXPECT_EQ(fp_scaling_select(), 1);
    EXPECT_EQ(g_fp_scaling.shmem_size, 67108864u);

    // Only the first 63 characters count.
    write(std::string(63, 'x') + "small\n");
    EXPECT_EQ(fp_scaling_class_detect(),
              fp_scaling_class_pick(nullptr, uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE))));

    write("large\n");
    fp_scaling_force_class(1);
    fp_scaling_reset();
    EXPECT_EQ(fp_scaling_select(), 1) << "a forced class skips the file";
    unlink(path.c_str());
    fp_sim_size_path_set(nullptr);
    fp_scaling_force_class(0);
    fp_scaling_reset();
}

}  // namespace
