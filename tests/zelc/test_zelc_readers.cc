// The rule and trace readers: what good lines become, and the exact error of
// each kind of malformed line.
#include "compiler/zel_field.h"
#include "tools/zelc/zelc_rules.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

const zelc_cond *cond_on(const zelc_rule &r, uint32_t field, size_t nth = 0)
{
    for (const zelc_cond &c : r.conds)
        if (c.field == field && nth-- == 0)
            return &c;
    return nullptr;
}

std::string cb_error(const std::string &line)
{
    zelc_rule r;
    std::string what;
    EXPECT_EQ(zelc_parse_classbench_rule(line, 1, &r, &what), 22) << line;
    return what;
}

// (low, high) of the nth condition on a field, or (1, 0) when there is none.
std::pair<uint32_t, uint32_t> range(const zelc_rule &r, uint32_t field, size_t nth = 0)
{
    const zelc_cond *c = cond_on(r, field, nth);
    return c ? std::pair{c->lo, c->hi} : std::pair{1u, 0u};
}

TEST(ClassBenchReader, RuleBecomesRangesAndCountAction)
{
    zelc_rule r;
    std::string what;
    ASSERT_EQ(zelc_parse_classbench_rule(
                  "@192.168.1.0/24\t10.0.0.1/32\t1024 : 65535\t80 : 80\t0x06/0xFF\t0x1000/0x1000\t", 7, &r, &what),
              0)
        << what;
    EXPECT_EQ(r.name, "7");
    ASSERT_EQ(r.conds.size(), 5u);
    EXPECT_TRUE(cond_on(r, ZEL_CF_SRC_ADDR)->prefix);
    EXPECT_EQ(cond_on(r, ZEL_CF_SRC_ADDR)->len, 24u);
    EXPECT_EQ(range(r, ZEL_CF_SRC_ADDR), std::pair(0xC0A80100u, 0xC0A801FFu));
    EXPECT_EQ(range(r, ZEL_CF_DST_ADDR), std::pair(0x0A000001u, 0x0A000001u));
    EXPECT_EQ(range(r, ZEL_CF_SRC_PORT), std::pair(1024u, 65535u));
    EXPECT_EQ(range(r, ZEL_CF_DST_PORT), std::pair(80u, 80u));
    EXPECT_EQ(range(r, ZEL_CF_PROTOCOL), std::pair(6u, 6u));
    ASSERT_TRUE(r.action);
    EXPECT_EQ(r.action->slot[0].param_type, ZEL_ACT_COUNT);
    EXPECT_STREQ(r.action->slot[0].p.count.name, "7");
    EXPECT_EQ(r.action->slot[1].code, 0u);

    // Wildcards add no condition; host bits beyond the length are dropped.
    ASSERT_EQ(zelc_parse_classbench_rule("@0.0.0.0/0 0.0.0.0/0 0 : 65535 0:65535 0x00/0x00", 1, &r, &what), 0) << what;
    EXPECT_TRUE(r.conds.empty());
    ASSERT_EQ(zelc_parse_classbench_rule("@10.1.2.3/8\t0.0.0.0/0\t0 : 65534\t0 : 65535\t0x11/0xFF", 1, &r, &what), 0);
    ASSERT_EQ(r.conds.size(), 3u);
    EXPECT_EQ(range(r, ZEL_CF_SRC_ADDR), std::pair(0x0A000000u, 0x0AFFFFFFu));
    EXPECT_EQ(range(r, ZEL_CF_SRC_PORT), std::pair(0u, 65534u));
}

TEST(ClassBenchReader, MalformedRulesSayWhatWasExpected)
{
    const std::string tail = "\t0 : 65535\t0 : 65535\t0x06/0xFF\t0x0000/0x0000";
    EXPECT_EQ(cb_error("1.2.3.4/32\t5.6.7.8/32" + tail), "expected source prefix '@A.B.C.D/LEN', got '1.2.3.4/32'");
    EXPECT_EQ(cb_error("@1.2.3.4/33\t5.6.7.8/32" + tail), "expected source prefix '@A.B.C.D/LEN', got '@1.2.3.4/33'");
    EXPECT_EQ(cb_error("@1.2.3/8\t5.6.7.8/32" + tail), "expected source prefix '@A.B.C.D/LEN', got '@1.2.3/8'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8" + tail), "expected destination prefix 'A.B.C.D/LEN', got '5.6.7.8'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32"),
              "expected source port range 'LOW : HIGH' within 0 ... 65535, got end of line");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t10 : 5\t0 : 65535\t0x06/0xFF"),
              "expected source port range 'LOW : HIGH' within 0 ... 65535, got '10 : 5'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t0 : 65535\t0 : 70000\t0x06/0xFF"),
              "expected destination port range 'LOW : HIGH' within 0 ... 65535, got '0 : 70000'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t1 2:3\t0 : 65535\t0x06/0xFF"),
              "expected source port range 'LOW : HIGH' within 0 ... 65535, got '1 2:3'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t0 : 65535\t0 : 65535\t0x06/0x0F"),
              "expected protocol 'VALUE/MASK' with mask 0xFF or 0x00, got '0x06/0x0F'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t0 : 65535\t0 : 65535"),
              "expected protocol 'VALUE/MASK' with mask 0xFF or 0x00, got end of line");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32" + tail + "\tjunk"), "expected end of line, got 'junk'");
    EXPECT_EQ(cb_error("@1.2.3.4/32\t5.6.7.8/32\t0 : 65535\t0 : 65535\t0x06/0xFF\tflags"),
              "expected TCP flags 'VALUE/MASK' or end of line, got 'flags'");
}

TEST(ClassBenchReader, FileErrorsNameFileAndLine)
{
    zelc_ruleset rs;
    std::string err;
    const std::string good = "@1.2.3.4/32\t5.6.7.8/32\t0 : 65535\t0 : 65535\t0x06/0xFF\t0x0000/0x0000\t\n";
    ASSERT_EQ(zelc_read_rules_text(good + "\n" + good, "x.rules", zelc_format::classbench, &rs, &err), 0) << err;
    ASSERT_EQ(rs.rules.size(), 2u);
    EXPECT_EQ(rs.rules[1].name, "2");  // blank lines do not count as rules
    EXPECT_EQ(rs.rules[1].line, 3u);
    EXPECT_EQ(rs.name, "x.rules");
    ASSERT_TRUE(rs.default_action);
    EXPECT_EQ(rs.default_action->slot[0].code, ZEL_ACT_REJECT);
    EXPECT_EQ(zelc_read_rules_text(good + "@1.2.3.4/32\n", "dir/x.rules", zelc_format::classbench, &rs, &err), 22);
    EXPECT_EQ(err, "dir/x.rules:2: expected destination prefix 'A.B.C.D/LEN', got end of line");
    EXPECT_EQ(zelc_read_rules("/nonexistent/r.rules", zelc_format::classbench, &rs, &err), 2);
    EXPECT_NE(err.find("/nonexistent/r.rules: cannot open"), std::string::npos) << err;
}

TEST(TraceReader, LinesAndErrors)
{
    std::vector<zelc_packet> pkts;
    std::string err;
    ASSERT_EQ(zelc_read_trace_text("3232235777\t167772161\t1024\t80\t6\t0\t12\n4294967295 0 0 65535 255\n\n", "t",
                                   &pkts, &err),
              0)
        << err;
    ASSERT_EQ(pkts.size(), 2u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_SRC_ADDR], 0xC0A80101u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_DST_ADDR], 0x0A000001u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_SRC_PORT], 1024u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_DST_PORT], 80u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_PROTOCOL], 6u);
    EXPECT_EQ(pkts[0].v[ZEL_CF_MATCH_ANY], 1u);
    EXPECT_EQ(pkts[1].v[ZEL_CF_SRC_ADDR], 0xFFFFFFFFu);
    EXPECT_EQ(zelc_trace_line(pkts[0], 4), "3232235777\t167772161\t1024\t80\t6\t0\t4");

    EXPECT_EQ(zelc_read_trace_text("1 2 3 4 5\n1 2 3 70000 6\n", "t.trace", &pkts, &err), 22);
    EXPECT_EQ(err, "t.trace:2: expected destination port (0 ... 65535), got '70000'");
    EXPECT_EQ(zelc_read_trace_text("1 2 3\n", "t.trace", &pkts, &err), 22);
    EXPECT_EQ(err, "t.trace:1: expected destination port (0 ... 65535), got end of line");
    EXPECT_EQ(zelc_read_trace_text("4294967296 2 3 4 5\n", "t.trace", &pkts, &err), 22);
    EXPECT_EQ(err, "t.trace:1: expected source address (decimal 0 ... 4294967295), got '4294967296'");
    EXPECT_EQ(zelc_read_trace_text("1 2 3 4 256\n", "t.trace", &pkts, &err), 22);
    EXPECT_EQ(err, "t.trace:1: expected protocol (0 ... 255), got '256'");
}

TEST(NativeReader, EveryFieldAndActionKind)
{
    const char *text =
        "# a policy\n"
        "name edge-in\n"
        "clock 800000000\n"
        "default sla-class 3 0x10 strict\n"
        "rule 10 protocol 6,17 src-port 1000-2000 dst-port 80 src-addr 10.0.0.0/8,192.168.1.7 "
        "dst-addr 0.0.0.0/0 dscp 46 fc 1-3 tcp 2 pkt-len 64-1500 app 300 app-family 7 match-any 1 "
        "traffic-class 5 next-header 58 plp 0-1 action accept count web police p1 8000000 15000 plp-high log\n"
        "rule 20 action reject\n"
        "rule 30 action set-tloc 4 1001 up set-tloc-color-encap 0x4 2 mirror 9 10.1.1.1 10.2.2.2 cflowd\n"
        "rule 40 action set-fc 3 set-next-hop 2001:db8::1 set-nat-use-vpn 12 sla-class 2 0x20 tloc-list "
        "1:100:5:1,2:200:5:1\n"
        "rule 50 action set-dscp 46 set-svc-type 2 set-nat-pool 7 set-svc-local set-svc-local-strict "
        "set-backup-preferred-color 0x8 set-traffic-class 3 set-local-tloc-list 0xF 0x3 yes tcp-optimization\n";
    zelc_ruleset rs;
    std::string err;
    ASSERT_EQ(zelc_read_rules_text(text, "p.zel", zelc_format::native, &rs, &err), 0) << err;
    EXPECT_EQ(rs.name, "edge-in");
    ASSERT_EQ(rs.rules.size(), 5u);
    const zelc_rule &r = rs.rules[0];
    EXPECT_EQ(r.name, "10");
    EXPECT_EQ(r.line, 5u);
    for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
        EXPECT_TRUE(cond_on(r, f)) << "field " << f;
    EXPECT_EQ(range(r, ZEL_CF_PROTOCOL, 1), std::pair(17u, 17u));
    EXPECT_EQ(range(r, ZEL_CF_SRC_ADDR, 1), std::pair(0xC0A80107u, 0xC0A80107u));  // a bare address is a /32
    EXPECT_EQ(range(r, ZEL_CF_DST_ADDR), std::pair(0u, 0xFFFFFFFFu));
    EXPECT_EQ(range(r, ZEL_CF_PKT_LEN), std::pair(64u, 1500u));

    // The policer moves to slot 1, log takes its place.
    const zel_action_data &a = *r.action;
    EXPECT_EQ(a.slot[0].code, ZEL_ACT_ACCEPT);
    EXPECT_EQ(a.slot[1].code, ZEL_ACT_POLICE);
    EXPECT_STREQ(a.slot[1].p.police.name, "10.p1");
    const zel_slot_police &pol = a.slot[1].p.police;
    EXPECT_EQ(pol.rate, 800u);  // cycles per byte: 800 MHz / (8 Mbit/s / 8)
    EXPECT_EQ(pol.burst, 15000u * 800);
    EXPECT_EQ(pol.flags, ZEL_POLICE_ENCODED);
    EXPECT_NE(pol.oob_action, 0u);
    EXPECT_EQ(a.slot[2].code, ZEL_ACT_COUNT);
    EXPECT_EQ(a.slot[3].code, ZEL_ACT_LOG);

    EXPECT_EQ(rs.rules[1].action->slot[0].code, ZEL_ACT_REJECT);
    const zel_action_data &b = *rs.rules[2].action;
    EXPECT_EQ(b.slot[0].p.tloc.tloc_index, 4u);
    EXPECT_EQ(b.slot[0].p.tloc.resolved, 1u);
    EXPECT_EQ(b.slot[1].p.color_encap.color, 4u);
    EXPECT_EQ(b.slot[2].p.mirror.value, 9u);
    EXPECT_EQ(b.slot[2].p.mirror.dst.family, 1u);
    EXPECT_EQ(b.slot[3].code, ZEL_ACT_CFLOWD);
    const zel_action_data &c = *rs.rules[3].action;
    EXPECT_EQ(c.slot[0].p.fc, 3);
    EXPECT_EQ(c.slot[1].p.next_hop.family, 2u);
    EXPECT_EQ(c.slot[1].p.next_hop.addr[15], 1u);
    EXPECT_EQ(c.slot[2].p.vrf_id, 12u);
    EXPECT_EQ(c.slot[3].p.sla.primary, 2u);
    EXPECT_EQ(c.slot[3].p.sla.backup, 0u);
    EXPECT_EQ(c.slot[4].p.tloc_list[0].tloc_index, 1u);
    EXPECT_EQ(c.slot[4].p.tloc_list[15].tloc_index, 2u);
    const zel_action_data &d = *rs.rules[4].action;
    uint32_t want[] = {ZEL_ACT_SET_DSCP,          ZEL_ACT_SET_SVC_TYPE,         ZEL_ACT_SET_NAT_POOL,
                       ZEL_ACT_SET_SVC_LOCAL,     ZEL_ACT_SET_SVC_LOCAL_STRICT, ZEL_ACT_SET_BACKUP_PREF_COLOR,
                       ZEL_ACT_SET_TRAFFIC_CLASS, ZEL_ACT_SET_LOCAL_TLOC_LIST,  ZEL_ACT_TCP_OPT};
    for (size_t i = 0; i < std::size(want); i++)
        EXPECT_EQ(d.slot[i].code, want[i]) << i;
    EXPECT_EQ(d.slot[0].p.u8, 46u);
    EXPECT_EQ(d.slot[7].p.local_tloc.restrict_, 1u);

    EXPECT_EQ(rs.default_action->slot[0].code, ZEL_ACT_SLA_CLASS);
    EXPECT_EQ(rs.default_action->slot[0].p.sla.primary, 3u);
    EXPECT_EQ(rs.default_action->slot[0].p.sla.backup, 5u);
}

TEST(NativeReader, MalformedLinesSayWhatWasExpected)
{
    const std::pair<const char *, const char *> cases[] = {
        {"frobnicate 1", "expected 'rule', 'default', 'name' or 'clock', got 'frobnicate'"},
        {"rule x", "expected a sequence number after 'rule', got 'x'"},
        {"rule", "expected a sequence number after 'rule', got end of line"},
        {"rule 1 protocol 300", "expected values 'N' or 'N-M' up to 255, comma-separated, got '300'"},
        {"rule 1 dst-port 90-80", "expected values 'N' or 'N-M' up to 65535, comma-separated, got '90-80'"},
        {"rule 1 src-addr 10.0.0.0/40", "expected address prefixes 'A.B.C.D[/LEN][,...]', got '10.0.0.0/40'"},
        {"rule 1 dscp", "expected values of dscp, got end of line"},
        {"rule 1 colour 5", "expected a match field (protocol, src-addr, ...) or 'action', got 'colour'"},
        {"rule 1 action teleport", "expected an action (accept, reject, count NAME, ...), got 'teleport'"},
        {"rule 1 action count", "expected arguments 'NAME' of count, got end of line"},
        {"rule 1 action police p 1000 x drop",
         "expected arguments 'NAME RATE-BPS BURST-BYTES drop|plp-high' of police, got 'p 1000 x drop'"},
        {"rule 1 action set-tloc 1 2 sideways",
         "expected arguments 'TLOC-INDEX VPN-LABEL up|down' of set-tloc, got '1 2 sideways'"},
        {"rule 1 action tloc-list 1:2:3",
         "expected arguments 'INDEX:LABEL:PREFERENCE:WEIGHT[,...]' of tloc-list, got '1:2:3'"},
        {"rule 1 action log log log log log log log log log log log log log", "expected at most 12 actions, got 13"},
        {"default", "expected a default action, got end of line"},
        {"default sla-class x", "expected 'sla-class INDEX PREFERRED-COLOR [strict]', got 'x'"},
        {"name a b", "expected end of line, got 'b'"},
        {"clock 0", "expected a clock rate in Hz, got '0'"},
    };
    for (auto [line, error] : cases) {
        zelc_ruleset rs;
        std::string err;
        EXPECT_EQ(zelc_read_rules_text(std::string("rule 5 action accept\n") + line + "\n", "p.zel",
                                       zelc_format::native, &rs, &err),
                  22)
            << line;
        EXPECT_EQ(err, std::string("p.zel:2: ") + error) << line;
    }
}

}  // namespace
