// The generated module that checks application names at commit: every name of the engine's
// catalogue passes in any case, anything else is refused with its entry named.
#include <gtest/gtest.h>
#include <libyang/libyang.h>

#include <string>

#include "dpi/zel_dpi_engine.h"
#include "yang/zel_yang_schema.h"

namespace
{

class AppNames : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        std::string err;
        ASSERT_EQ(zel_yang_load(ZEL_YANG_DIR, &ctx_, &err), 0) << err;
        ASSERT_EQ(lys_parse_path(ctx_, ZEL_DPI_YANG, LYS_IN_YANG, nullptr), LY_SUCCESS) << ly_errmsg(ctx_);
    }
    static void TearDownTestSuite() { ly_ctx_destroy(ctx_); }

    // "" when the configuration is valid, else libyang's message and path.
    static std::string check(const std::string &json)
    {
        lyd_node *tree = nullptr;
        const LY_ERR e = lyd_parse_data_mem(ctx_, json.c_str(), LYD_JSON, LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                                            LYD_VALIDATE_NO_STATE, &tree);
        lyd_free_all(tree);
        if (e == LY_SUCCESS)
            return "";
        const char *path = ly_errpath(ctx_);
        return std::string(ly_errmsg(ctx_)) + " " + (path != nullptr ? path : "");
    }
    static std::string apps(const std::string &root, const std::string &entries)
    {
        return R"({")" + root + R"(": {"lists": {"app-list": [{"name": "v", "app": [)" + entries + "]}]}}}";
    }

    static inline ly_ctx *ctx_ = nullptr;
};

TEST_F(AppNames, TheCataloguePassesInAnyCaseAndAnUnknownNameIsRefusedWithItsEntryNamed)
{
    std::unique_ptr<zel_dpi_engine> engine = zel_dpi_ndpi_engine();
    ASSERT_EQ(engine->init({}), 0);
    ASSERT_EQ(engine->enable_all(), 0);
    std::string entries = R"({"name": "unclassified"})";
    engine->walk([&](const zel_dpi_proto &p) { entries += R"(, {"name": ")" + std::string(p.name) + R"("})"; });
    const std::string upper = R"j({"name": "YOUTUBE"}, {"name": "sina(WEIBO)"}, {"name": "Z39.50"})j";
    for (const char *root : {"ardenta-policy:policy", "ardenta-policy:policy-from-ostrel"}) {
        EXPECT_EQ(check(apps(root, entries)), "") << root;
        EXPECT_EQ(check(apps(root, upper)), "") << root;
        for (const std::string bad : {"youtubex", "you tube", "Unknown", "youtube netflix"}) {
            const std::string err = check(apps(root, R"({"name": "youtube"}, {"name": ")" + bad + R"("})"));
            EXPECT_NE(err.find("unknown application"), std::string::npos) << root << " " << bad << ": " << err;
            EXPECT_NE(err.find("app[name='" + bad + "']"), std::string::npos) << err;
        }
    }
}

}  // namespace
