// fp-sim's application family from the daemon's table and its hit counts.
#include <gtest/gtest.h>

#include <array>

#include "platform/fpsim/fp_sim_dpi.h"

namespace
{

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
