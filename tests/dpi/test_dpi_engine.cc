// The nDPI engine: identifiers, names and families.
#include <gtest/gtest.h>
#include <ndpi/ndpi_api.h>

#include <map>

#include "common/zel_app_family.h"
#include "dataplane/fp_common.h"
#include "dpi/zel_dpi_engine.h"
#include "dpi/zel_dpi_ndpi.h"

namespace
{

class Ndpi : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine->init(engine->default_params()), 0);
        ASSERT_EQ(engine->enable_all(), 0);
        ASSERT_EQ(engine->walk([&](const zel_dpi_proto &p) {
            catalogue[p.id] = {std::string(p.name), std::string(p.family)};
        }),
                  0);
    }
    std::unique_ptr<zel_dpi_engine> engine = zel_dpi_ndpi_engine();
    std::map<uint32_t, std::pair<std::string, std::string>> catalogue;
};

TEST_F(Ndpi, IdentifiersAreNdpisPlusOneEveryProtocolHasAFamilyAndNamesCompareAsNdpiComparesThem)
{
    EXPECT_FALSE(catalogue.contains(1)) << "unclassified is not a catalogue entry";
    EXPECT_EQ(catalogue.rbegin()->first, zel_ndpi_app_id(NDPI_MAX_SUPPORTED_PROTOCOLS - 1));
    EXPECT_LT(catalogue.rbegin()->first, FP_NUM_DPI_PROTO_FAMILY_MAPPING);
    EXPECT_EQ(catalogue[zel_ndpi_app_id(NDPI_PROTOCOL_YOUTUBE)].first, "YouTube");
    for (const auto &[id, p] : catalogue)
        EXPECT_NE(zel_dpi_engine_family_id(p.second), ZEL_DPI_FAMILY_NONE) << id << " " << p.first << " " << p.second;

    // Names compare as nDPI compares them.
    const uint32_t yt = zel_ndpi_app_id(NDPI_PROTOCOL_YOUTUBE);
    for (const char *name : {"YouTube", "youtube", "YOUTUBE"})
        EXPECT_EQ(engine->id_of(name), yt) << name;
    EXPECT_EQ(engine->id_of("Sina(Weibo)"), zel_ndpi_app_id(NDPI_PROTOCOL_SINA));
    EXPECT_EQ(engine->id_of("z39.50"), zel_ndpi_app_id(NDPI_PROTOCOL_Z3950));
    for (const char *bad : {"youtubex", "", "Unknown", "You Tube"})
        EXPECT_EQ(engine->id_of(bad), 0u) << bad;
    EXPECT_EQ(engine->id_of(std::string(200, 'a')), 0u);

    const std::optional<zel_dpi_proto> p = engine->proto(yt);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->name, "YouTube");
    EXPECT_EQ(p->family, "Media") << "the engine's own family text is nDPI's category";
    EXPECT_FALSE(engine->proto(1));
    EXPECT_FALSE(engine->proto(FP_NUM_DPI_PROTO_FAMILY_MAPPING));
    EXPECT_STREQ(engine->version(), ndpi_revision());

    engine->shutdown();
    EXPECT_EQ(engine->id_of("youtube"), 0u);
    EXPECT_LT(engine->walk([](const zel_dpi_proto &) {}), 0);
    EXPECT_STREQ(engine->error_text(engine->walk([](const zel_dpi_proto &) {})), "engine not started");
}

}  // namespace
