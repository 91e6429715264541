// Debug categories switched from the CLI: each one turns its log lines on and leaves a marker in
// operational data; "all" takes the place of the single markers and disable-all removes whatever
// is there. The marker writes are queued, so the markers are polled for.
#include <set>
#include <string>
#include <thread>

#include "standins.h"

namespace
{

using namespace std::chrono_literals;
using Markers = std::set<std::string>;

class DebugE2e : public e2e::StandIns
{
protected:
    Markers markers()
    {
        const std::string out = cli({"show-oper", "/debugs"});
        Markers m;
        for (const char *n : {"config", "kro", "dpi", "policy", "all"})
            if (out.find("\"" + std::string(n) + "\"") != std::string::npos)
                m.insert(n);
        return m;
    }
    Markers markers_become(const Markers &want)
    {
        Markers m;
        e2e::poll_until([&] { return (m = markers()) == want; }, 5s, 50ms);
        return m;
    }
    // Whether the configuration category's line for a newly committed vpn-list reaches the log.
    bool config_logged(const std::string &name)
    {
        size_t cur = syslog().mark();
        apply(R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":")" + name +
              R"(","vpn":[{"id":"7"}]}]}}})");
        return syslog().wait_for("Fwding Policy: vpn-list: " + name, 2s, &cur).has_value();
    }
};

TEST_F(DebugE2e, CategoriesToggleTheirLogLinesAndOperationalMarkers)
{
    EXPECT_EQ(markers(), Markers{});
    EXPECT_FALSE(config_logged("quiet-1"));

    Markers on;
    for (const char *c : {"config", "kro", "dpi", "policy"}) {
        request(std::string("zel_debug_") + c);
        on.insert(c);
        EXPECT_EQ(markers_become(on), on) << "after zel_debug_" << c;
    }
    EXPECT_TRUE(config_logged("loud-1")) << syslog().dump();

    // "all" replaces the single markers; a single category then changes nothing.
    request("zel_debug_all");
    EXPECT_EQ(markers_become({"all"}), Markers{"all"});
    request("zel_debug_dpi");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(markers(), Markers{"all"});
    EXPECT_TRUE(config_logged("loud-2"));

    request("zel_debug_disable_all");
    EXPECT_EQ(markers_become({}), Markers{});
    EXPECT_FALSE(config_logged("quiet-2"));

    // From single categories, disable-all removes each of their markers.
    request("zel_debug_kro");
    request("zel_debug_policy");
    EXPECT_EQ(markers_become({"kro", "policy"}), (Markers{"kro", "policy"}));
    request("zel_debug_disable_all");
    EXPECT_EQ(markers_become({}), Markers{});
}

}  // namespace
