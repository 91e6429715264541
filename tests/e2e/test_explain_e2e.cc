// The explain command end to end: for every packet of a generated capture, the sequence zeld names
// is the first match of the generated rules, and the action block it names is the one fp-sim's run of
// the same capture through the published program selects. Bad input is refused with a message.
#include "standins.h"

#include <algorithm>
#include <random>
#include <regex>
#include <thread>

namespace
{

using e2e::kWait;
using namespace std::chrono_literals;

using e2e::addr_text;
using e2e::GenPacket;
using e2e::GenSequence;

class ExplainE2e : public e2e::StandIns
{
protected:
    // Program memory for fifty sequences over seven fields (about 18 MB).
    const char *sim_size() const override { return "large"; }

    std::vector<std::string> explain_args(const GenPacket &p)
    {
        std::vector<std::string> a{"request", "zel_explain", "vpn", "100"};
        const char *names[] = {"source-address", "destination-address", "protocol", "source-port", "destination-port",
                               "dscp",           "packet-length"};
        const std::string values[] = {addr_text(p.src),        addr_text(p.dst),        std::to_string(p.proto),
                                      std::to_string(p.sport), std::to_string(p.dport), std::to_string(p.tos >> 2),
                                      std::to_string(p.len)};
        for (int i = 0; i < 7; i++)
            a.insert(a.end(), {names[i], values[i]});
        return a;
    }
    // explain's answer once the program it reads is published.
    std::string explained(const std::vector<std::string> &args, int *rc)
    {
        std::string text;
        e2e::poll_until([&] { return (text = cli(args, rc)).find("program: filter") != std::string::npos && *rc == 0; },
                        kWait, 200ms);
        return text;
    }
};

TEST_F(ExplainE2e, AgreesWithFirstMatchAndTheForwardingPlaneOnEveryPacket)
{
    // Few distinct boundaries per field and no catch-all keep the program small.
    e2e::Generated g(20260112, e2e::Generated::compact);
    const auto seqs = g.sequences(50, 10);
    const auto trace = g.packets(300);
    std::string text;
    apply(g.json(seqs));

    const std::regex program_re(R"(program: filter (\d+) action block (\d+)( default)?: (.*))");
    std::smatch m;
    int rc = -1;
    text = explained(explain_args(trace[0]), &rc);
    ASSERT_TRUE(std::regex_search(text, m, program_re)) << text << syslog().dump();
    const std::string filter = m[1];

    const auto verdicts = run_capture(std::stoi(filter), trace);
    ASSERT_EQ(verdicts.size(), trace.size());

    const std::regex model_re(R"(model: (sequence (\d+)|default action): (.*))");
    const std::regex verdict_re(R"(^packet \d+: action (\d+)( default)?.*)");
    int mismatches = 0, matched = 0;
    for (size_t i = 0; i < trace.size(); i++) {
        text = cli(explain_args(trace[i]), &rc);
        const GenSequence *s = g.first_match(seqs, trace[i]);
        const int want = s ? s->num : -1;
        matched += want >= 0;
        std::smatch mm, pm, vm;
        const bool ok = rc == 0 && std::regex_search(text, mm, model_re) && std::regex_search(text, pm, program_re) &&
                        std::regex_search(verdicts[i], vm, verdict_re) &&
                        (want < 0 ? mm[2].str().empty() : mm[2] == std::to_string(want)) && pm[1] == filter &&
                        pm[2] == vm[1] && pm[3] == vm[2] && mm[3] == pm[4] &&
                        text.find("disagreement") == std::string::npos &&
                        (want < 0 || pm[4].str().find("count c" + std::to_string(want)) != std::string::npos);
        if (!ok && mismatches++ < 5)
            ADD_FAILURE() << "packet " << i << " wants sequence " << want << "; explain: " << text
                          << "fp-sim: " << verdicts[i];
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(matched, static_cast<int>(trace.size() / 4)) << "the trace should mostly hit sequences";
}

TEST_F(ExplainE2e, AccessListsByInterfaceAndBadInput)
{
    load_examples({"access-lists.json"});
    int rc = -1;
    std::string text = explained(
        {"request", "zel_explain", "interface", "ge0/1", "direction", "in", "protocol", "6", "destination-port", "22"},
        &rc);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("access-list acl-guest-in interface ge0/1 direction in\n"), std::string::npos) << text;
    EXPECT_NE(text.find("program: filter"), std::string::npos) << text;
    EXPECT_EQ(text.find("disagreement"), std::string::npos) << text;

    const struct {
        std::vector<std::string> args;
        const char *says;
    } bad[] = {
        {{"vpn", "100", "dscp", "lots"}, "Error: "},
        {{"vpn", "100", "dscp", "64"}, "Error: "},
        {{"vpn", "100", "colour", "3"}, "unknown parameter colour"},
        {{"vpn", "100", "app", "no-such-application"}, "unknown application no-such-application"},
        {{"protocol", "6"}, "give vpn, or interface and direction"},
        {{"interface", "ge0/1"}, "interface and direction go together"},
    };
    for (const auto &b : bad) {
        std::vector<std::string> args{"request", "zel_explain"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        text = cli(args, &rc);
        EXPECT_EQ(rc, 1) << b.args[0] << " " << b.args[1] << ": " << text;
        EXPECT_NE(text.find(b.says), std::string::npos) << text;
        EXPECT_EQ(text.find("packet:"), std::string::npos) << text;
    }
    EXPECT_TRUE(zeld_->running());
}

}  // namespace
