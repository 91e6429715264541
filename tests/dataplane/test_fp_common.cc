// Scaling classes and the table layout, without any shared block.
#include "dataplane/fp_common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace
{

TEST(ScalingClass, SimSizeWordsWinOverRam)
{
    const uint64_t big = 64ull << 30, tiny = 1ull << 30;
    EXPECT_EQ(fp_scaling_class_pick("small\n", big), 1);
    EXPECT_EQ(fp_scaling_class_pick("regular\n", tiny), 2);
    EXPECT_EQ(fp_scaling_class_pick("large", tiny), 3);
    EXPECT_EQ(fp_scaling_class_pick("small large", tiny), 3) << "\"large\" is tested first";
    EXPECT_EQ(fp_scaling_class_pick("regular small", big), 2);
    EXPECT_EQ(fp_scaling_class_pick("huge\n", tiny), 1) << "no known word: RAM decides";
}

TEST(ScalingClass, RamBoundaries)
{
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

TEST(ScalingRecords, TellingValues)
{
    const uint32_t block[] = {67108864, 184549376, 536870912, 1073741824};
    const uint32_t dpi[] = {16777216, 33554432, 134217728, 268435456};
    const uint32_t flows[] = {4096, 16384, 65536, 131072};
    const uint32_t filter_mem[] = {16384, 65536, 1048576, 1048576};
    const uint32_t filters[] = {256, 256, 512, 512};
    for (int c = 1; c <= 4; c++) {
        const fp_scaling &s = fp_scaling_of(c);
        SCOPED_TRACE(c);
        EXPECT_EQ(s.shmem_info_tbl_size, 128u);
        EXPECT_EQ(s.shmem_size, block[c - 1]);
        EXPECT_EQ(s.dpi_mem_size, dpi[c - 1]);
        EXPECT_EQ(s.interfaces, c == 1 ? 128u : 512u);
        EXPECT_EQ(s.flows, flows[c - 1]);
        EXPECT_EQ(s.filter_mem, filter_mem[c - 1]);
        EXPECT_EQ(s.filters, filters[c - 1]);
        EXPECT_EQ(s.classifiers, 16u);
        EXPECT_EQ(s.dpi_proto_family_mapping, 4096u);
        EXPECT_EQ(s.dpi_proto_hits, 4096u);
        EXPECT_EQ(s.labels, 65536u);
        EXPECT_EQ(s.next_hops, 65536u);
    }
}

TEST(TableList, OrderNamesAndPerCoreTables)
{
    ASSERT_EQ(g_shmem_tbl.size(), 78u);
    EXPECT_STREQ(g_shmem_tbl[0].name, "fp_shmem_info");
    EXPECT_STREQ(g_shmem_tbl[1].name, "fp_port_record");
    EXPECT_STREQ(g_shmem_tbl[19].name, "fp-global-ctrl");
    EXPECT_STREQ(g_shmem_tbl[30].name, "fp_filter_mem");
    EXPECT_STREQ(g_shmem_tbl[31].name, "fp_filters");
    EXPECT_STREQ(g_shmem_tbl[77].name, "Tcp Opt flow table");
    // The three names that appear twice, each time in adjacent entries.
    for (const char *twice :
         {"fp_sub_inbound_sa_hash_table", "fp_nat_filter_outbound_hash", "VRID to App id mapping for Orvanta"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < g_shmem_tbl.size(); i++)
            if (std::string(g_shmem_tbl[i].name) == twice)
                at.push_back(i);
        ASSERT_EQ(at.size(), 2u) << twice;
        EXPECT_EQ(at[1], at[0] + 1) << twice;
    }
    std::set<std::string> per_core;
    for (const auto &t : g_shmem_tbl)
        if (t.per_core)
            per_core.insert(t.name);
    EXPECT_EQ(per_core, (std::set<std::string>{"fp_ipfrag", "fp_ipfrag_hash"}));
}

TEST(TableList, TellingElementSizesAndCounts)
{
    const fp_scaling &s = fp_scaling_of(1);
    struct row {
        const char *name;
        uint32_t elem;
        uint32_t count;
    } rows[] = {{"fp_shmem_info", 8, 128},
                {"fp_classifier", 128, 16},
                {"fp_filter_mem", 128, 16384},
                {"fp_filters", 12, 256},
                {"fp_dpi_qosmos_mem_block", 1, 16777216},
                {"fp_dpi_proto_family_mapping", 4, 4096},
                {"fp_dpi_proto_hits", 4, 4096},
                {"DPI App Visibility knob", 4, 1},
                {"Filter Log Configuration", 140, 1},
                {"Filter Flow visibility knob", 4, 1}};
    for (const row &r : rows) {
        bool found = false;
        for (const auto &t : g_shmem_tbl) {
            if (std::string(t.name) != r.name)
                continue;
            found = true;
            EXPECT_EQ(t.elem_size, r.elem) << r.name;
            EXPECT_EQ(s.*t.count, r.count) << r.name;
        }
        EXPECT_TRUE(found) << r.name;
    }
}

// Every class: tables on 128-byte boundaries in list order, per-core tables twice, all inside the block.
TEST(Layout, EveryClassFitsWith128ByteRounding)
{
    for (int c = 1; c <= 4; c++) {
        SCOPED_TRACE(c);
        const fp_scaling &s = fp_scaling_of(c);
        std::vector<fp_shmem_info_entry> info(FP_NUM_TABLES);
        const uint64_t used = fp_shmem_layout(s, info);
        ASSERT_GT(used, 0u);
        EXPECT_LT(used, s.shmem_size);
        uint64_t end = 0;  // from the info table start
        for (uint32_t i = 0; i < FP_NUM_TABLES; i++) {
            const auto &t = g_shmem_tbl[i];
            const uint64_t one = uint64_t{t.elem_size} * (s.*t.count);
            const uint32_t copies = t.per_core ? FP_NUM_CORES : 1;
            EXPECT_EQ(info[i].size, one * copies) << t.name;
            end += copies * ((one + 127) / 128 * 128);
            EXPECT_EQ(info[i].offset, end) << t.name;
            EXPECT_EQ(info[i].offset % 128, 0u) << t.name;
        }
        EXPECT_EQ(used, 128 + end);
    }
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
