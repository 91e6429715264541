// fp-sim's application recognition: nDPI per flow on generated captures, the family from the
// daemon's table and the hit counts.
#include <gtest/gtest.h>
#include <ndpi/ndpi_protocol_ids.h>
#include <unistd.h>

#include <array>

#include "compiler/zel_field.h"
#include "dpi/zel_dpi_ndpi.h"
#include "dpi_capture.h"
#include "platform/fpsim/fp_sim_dpi.h"

namespace
{

using namespace dpi_test;

std::vector<fpsim_packet> read_back(const std::vector<frame> &frames)
{
    char path[] = "/tmp/fpsim-dpi-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(write_capture(path, frames));
    std::vector<fpsim_packet> pkts;
    std::string err;
    EXPECT_EQ(fpsim_read_packets(path, 64, &pkts, &err), 0) << err;
    unlink(path);
    return pkts;
}

constexpr uint32_t U = FPSIM_APP_UNCLASSIFIED;

TEST(FpsimInspector, FlowsCarryUnclassifiedUntilNdpiDecides)
{
    const std::vector<fpsim_packet> pkts = read_back(mixed_flows());
    ASSERT_EQ(pkts.size(), 17u);
    const uint32_t yt = zel_ndpi_app_id(NDPI_PROTOCOL_YOUTUBE), nf = zel_ndpi_app_id(NDPI_PROTOCOL_NETFLIX),
                   http = zel_ndpi_app_id(NDPI_PROTOCOL_HTTP), dns = zel_ndpi_app_id(NDPI_PROTOCOL_DNS),
                   bt = zel_ndpi_app_id(NDPI_PROTOCOL_BITTORRENT);
    const std::vector<uint32_t> want{U, U, U, yt, U, U, U, nf, U, U, U, http, dns, U, U, U, bt};
    fpsim_inspector dpi;
    std::vector<uint32_t> got;
    for (const fpsim_packet &p : pkts) {
        ASSERT_FALSE(p.l3.empty());
        EXPECT_EQ(p.l3[0] >> 4, 4);
        got.push_back(dpi.classify(p));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(dpi.name(yt), "YouTube");
    EXPECT_EQ(dpi.name(bt), "BitTorrent");
    EXPECT_EQ(dpi.name(U), "unclassified");

    // Later packets of a decided flow, in either direction, keep its application.
    EXPECT_EQ(dpi.classify(pkts[0]), yt);
    EXPECT_EQ(dpi.classify(pkts[1]), yt) << "server to client";
}

TEST(FpsimInspector, FamilyAndHitsFollowTheDaemonsTables)
{
    std::array<uint32_t, 16> map{}, hits{};
    uint32_t state = 0;
    const fpsim_dpi_tables t{map, hits, &state};
    map[0] = 9;
    map[5] = 3;
    map[12] = 7;  // beyond entry 0: not published
    EXPECT_EQ(fpsim_app_family(t, 5), 3u);
    EXPECT_EQ(fpsim_app_family(t, 12), 0u);
    EXPECT_EQ(fpsim_app_family(t, 99), 0u);

    hits[0] = 9;
    EXPECT_FALSE(fpsim_count_hit(t, 5)) << "inspection off";
    state = 1;
    EXPECT_TRUE(fpsim_count_hit(t, 5));
    EXPECT_TRUE(fpsim_count_hit(t, 1));
    EXPECT_FALSE(fpsim_count_hit(t, 12)) << "beyond the counted entries";
    hits[0] = 0;
    EXPECT_FALSE(fpsim_count_hit(t, 5)) << "a clear is in progress";
    EXPECT_EQ(hits[5], 1u);
    EXPECT_EQ(hits[1], 1u);
    EXPECT_EQ(hits[12], 0u);
    EXPECT_FALSE(fpsim_count_hit(fpsim_dpi_tables{}, 5)) << "no shared block";
}

}  // namespace
