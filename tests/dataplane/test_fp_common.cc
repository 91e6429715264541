// Scaling classes and the table layout, without any shared block.
#include "dataplane/fp_common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

TEST(ScalingClass, SimSizeWordsWinOverRamThenRamBoundaries)
{
    const uint64_t big = 64ull << 30, tiny = 1ull << 30;
    EXPECT_EQ(fp_scaling_class_pick("small\n", big), 1);
    EXPECT_EQ(fp_scaling_class_pick("regular\n", tiny), 2);
    EXPECT_EQ(fp_scaling_class_pick("large", tiny), 3);
    EXPECT_EQ(fp_scaling_class_pick("small large", tiny), 3) << "\"large\" is tested first";
    EXPECT_EQ(fp_scaling_class_pick("regular small", big), 2);
    EXPECT_EQ(fp_scaling_class_pick("huge\n", tiny), 1) << "no known word: RAM decides";
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 1610612735ull), 1);
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 1610612736ull), 2);
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 2684354559ull), 2);
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 2684354560ull), 3);
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 0xFFFFFFFFull), 3);
    EXPECT_EQ(fp_scaling_class_pick(nullptr, 0x100000000ull), 4);
}

class SimSizeFile : public testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/sim_size.XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        fp_sim_size_path_set(path.c_str());
    }
    void TearDown() override
    {
        unlink(path.c_str());
        fp_sim_size_path_set(nullptr);
        fp_scaling_force_class(0);
        fp_scaling_reset();
    }
    void write(const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    std::string path;
};

TEST_F(SimSizeFile, SelectionReadsTheFirstLineOnceAndCopiesTheRecord)
{
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
}

TEST_F(SimSizeFile, OnlyTheFirst63CharactersCount)
{
    write(std::string(63, 'x') + "small\n");
    EXPECT_EQ(fp_scaling_class_detect(), fp_scaling_class_pick(nullptr, [] {
                  long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
                  return uint64_t(pages) * uint64_t(size);
              }()));
}

TEST_F(SimSizeFile, AForcedClassSkipsTheFile)
{
    write("large\n");
    fp_scaling_force_class(1);
    fp_scaling_reset();
    EXPECT_EQ(fp_scaling_select(), 1);
}

TEST(Layout, TheInfoTableComesFirstAndEndsOnABoundary)
{
    std::vector<fp_shmem_info_entry> info(FP_NUM_TABLES);
    fp_shmem_layout(fp_scaling_of(1), info);
    EXPECT_EQ(info[0].size, 8u * 128);
    EXPECT_EQ(info[0].offset, 1024u);
    EXPECT_EQ(info[1].offset, 1024u + 256 * 16);
}

}  // namespace
