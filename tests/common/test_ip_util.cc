#include "common/ip_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/avl.h"
#include "death_regex.h"

const char *other_unit_addr_str(const zel_addr_t *addr);

namespace
{

ip_addr_t v4(uint32_t host_order)
{
    ip_addr_t a{};
    a.family = AF_INET;
    a.v4 = host_order;
    return a;
}

ip_addr_t v6(const char *text)
{
    ip_addr_t a{};
    a.family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text, a.v6), 1) << text;
    return a;
}

std::string addr_text(const ip_addr_t &a)
{
    char buf[64];
    return ip_addr_to_str(&a, buf, sizeof buf);
}

TEST(IpAddr, ParseInHostOrderAndPrintBack)
{
    ip_addr_t a;
    ASSERT_EQ(ip_addr_parse("10.1.2.3", &a), 1);
    EXPECT_EQ(a.family, 2u);
    EXPECT_EQ(a.v4, 0x0A010203u);
    ASSERT_EQ(ip_addr_parse("2001:db8::1", &a), 1);
    EXPECT_EQ(a.family, 10u);
    const uint8_t want[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(memcmp(a.v6, want, 16), 0);
    for (const char *text : {"10.1.2.3", "255.255.255.255", "0.0.0.0", "2001:db8::1", "::", "::1", "fe80::1:2",
                             "2001:db8:0:1:2:3:4:5", "::ffff:10.0.0.1"}) {
        ASSERT_EQ(ip_addr_parse(text, &a), 1) << text;
        EXPECT_EQ(addr_text(a), text);
    }
}

TEST(IpAddr, ParseFailureLeavesZeroAddress)
{
    for (const char *text : {"", "host", "1.2.3.4.5", "10.0.0.256", "2001:db8::1::2", "::g", "1.2.3.4/24"}) {
        ip_addr_t a;
        memset(&a, 0xA5, sizeof a);
        EXPECT_EQ(ip_addr_parse(text, &a), 0) << text;
        const ip_addr_t zero{};
        EXPECT_EQ(memcmp(&a, &zero, sizeof a), 0) << text;
    }
}

TEST(IpAddr, PortAndPrefixText)
{
    char buf[80];
    ip_addr_port_t ap{};
    ap.addr = v4(0x01020304);
    ap.port = 830;
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof buf), "1.2.3.4:830");
    ap.addr = v6("2001:db8::2");
    ap.port = 65535;
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof buf), "2001:db8::2:65535");

    ip_prefix_t p{};
    p.addr = v4(0x0A000000);
    p.len = 8;
    EXPECT_STREQ(ip_prefix_to_str(&p, buf, sizeof buf), "10.0.0.0/8");
    p.addr = v6("2001:db8::");
    p.len = 128;
    EXPECT_STREQ(ip_prefix_to_str(&p, buf, sizeof buf), "2001:db8::/128");

    // Output is cut to the buffer and stays terminated.
    char small[6];
    EXPECT_STREQ(ip_prefix_to_str(&p, small, sizeof small), "2001:");
    ip_addr_t unknown{};
    EXPECT_EQ(addr_text(unknown), "--");
}

TEST(IpAddr, OrderIsFamilyThenValue)
{
    ip_addr_t lo = v4(0x7FFFFFFF), hi = v4(0x80000000);
    EXPECT_EQ(ip_addr_cmp(&lo, &hi), -1);  // unsigned, not signed
    EXPECT_EQ(ip_addr_cmp(&hi, &lo), 1);
    EXPECT_EQ(ip_addr_cmp(&lo, &lo), 0);
    ip_addr_t six = v6("::");
    EXPECT_EQ(ip_addr_cmp(&hi, &six), -1);  // IPv4 before any IPv6
    ip_addr_t a = v6("2001:db8::1"), b = v6("2001:db8::100"), c = v6("fe80::");
    EXPECT_EQ(ip_addr_cmp(&a, &b), -1);
    EXPECT_EQ(ip_addr_cmp(&c, &b), 1);
    ip_addr_t a2 = v6("2001:db8::1");
    EXPECT_EQ(ip_addr_cmp(&a, &a2), 0);
}

TEST(IpAddrDeathTest, UnknownFamilyIsFatal)
{
    ip_addr_t a{}, b{};
    a.family = b.family = 7;
    EXPECT_DEATH(ip_addr_cmp(&a, &b), assertion_regex("ip_util", "229", "a->family == AF_INET6"));
    tloc_key_t ka{}, kb{};
    EXPECT_DEATH(tloc_key_cmp(&ka, &kb), "^ip_util:229: failed assertion");
}

tloc_key_t tloc(ip_addr_t addr, uint8_t color, uint8_t encap)
{
    tloc_key_t k{};
    k.addr = addr;
    k.color = color;
    k.encap = encap;
    return k;
}

TEST(TlocKey, OrderIsAddressColourEncapsulation)
{
    tloc_key_t gre = tloc(v4(0x0A000001), 4, ENCAP_GRE);
    tloc_key_t ipsec = tloc(v4(0x0A000001), 4, ENCAP_IPSEC);
    EXPECT_EQ(tloc_key_cmp(&gre, &ipsec), -1);
    EXPECT_EQ(tloc_key_cmp(&ipsec, &gre), 1);
    EXPECT_EQ(tloc_key_cmp(&gre, &gre), 0);

    tloc_key_t lower_colour = tloc(v4(0x0A000001), 3, ENCAP_IPSEC);
    EXPECT_EQ(tloc_key_cmp(&lower_colour, &gre), -1);  // colour outranks encapsulation
    tloc_key_t lower_addr = tloc(v4(0x0A000000), 22, ENCAP_IPSEC);
    EXPECT_EQ(tloc_key_cmp(&lower_addr, &lower_colour), -1);  // address outranks colour
    tloc_key_t six = tloc(v6("::1"), 0, 0);
    EXPECT_EQ(tloc_key_cmp(&ipsec, &six), -1);
}

struct tloc_entry {
    avl_node_t node;
    tloc_key_t key;
};

int tloc_entry_cmp(const void *a, const void *b)
{
    return tloc_key_cmp(&static_cast<const tloc_entry *>(a)->key, &static_cast<const tloc_entry *>(b)->key);
}

TEST(TlocKey, TreeKeepsKeysDifferingOnlyInEncapsulationApart)
{
    avl_tree_t tree;
    avl_create(&tree, tloc_entry_cmp, sizeof(tloc_entry), offsetof(tloc_entry, node));
    std::vector<tloc_entry> entries;
    for (uint32_t addr : {2u, 1u})
        for (uint8_t color : {5, 1})
            for (uint8_t encap : {2, 1})
                entries.push_back({{}, tloc(v4(addr), color, encap)});
    entries.push_back({{}, tloc(v6("::1"), 1, 1)});
    for (auto &e : entries)
        avl_add(&tree, &e);
    EXPECT_EQ(avl_numnodes(&tree), entries.size());

    std::vector<std::string> order;
    char buf[96];
    for (void *p = avl_first(&tree); p; p = AVL_NEXT(&tree, p))
        order.push_back(tloc_to_str(&static_cast<tloc_entry *>(p)->key, buf, sizeof buf));
    const std::vector<std::string> want = {
        "Originator: 0.0.0.1 Color: 1 Encap: 1", "Originator: 0.0.0.1 Color: 1 Encap: 2",
        "Originator: 0.0.0.1 Color: 5 Encap: 1", "Originator: 0.0.0.1 Color: 5 Encap: 2",
        "Originator: 0.0.0.2 Color: 1 Encap: 1", "Originator: 0.0.0.2 Color: 1 Encap: 2",
        "Originator: 0.0.0.2 Color: 5 Encap: 1", "Originator: 0.0.0.2 Color: 5 Encap: 2",
        "Originator: ::1 Color: 1 Encap: 1",
    };
    EXPECT_EQ(order, want);
    void *cookie = nullptr;
    while (avl_destroy_nodes(&tree, &cookie)) {}
    avl_destroy(&tree);
}

TEST(TlocKey, NameForm)
{
    char buf[96];
    tloc_key_t k = tloc(v4(0xC0A80001), 4, ENCAP_IPSEC);
    EXPECT_STREQ(tloc_to_name_str(&k, buf, sizeof buf), "192.168.0.1 : biz-internet : ipsec");
    k = tloc(v6("2001:db8::9"), 99, 7);
    EXPECT_STREQ(tloc_to_name_str(&k, buf, sizeof buf), "2001:db8::9 : -- : --");
    EXPECT_STREQ(tloc_to_str(&k, buf, sizeof buf), "Originator: 2001:db8::9 Color: 99 Encap: 7");
}

TEST(AddrNames, PrintedColoursParseBack)
{
    // Every printed name parses back, except the long forms of colours 3..5.
    for (unsigned code = 1; code <= 22; code++) {
        if (code < 3 || code > 5) {
            EXPECT_EQ(color_parse(color_name(code)), code) << color_name(code);
        }
    }
    EXPECT_STREQ(color_name(4), "biz-internet");
    EXPECT_STREQ(color_name(23), "--");
    EXPECT_STREQ(color_name(255), "--");
}

TEST(AddrNames, ColourParseUsesPrefixesOfShortForms)
{
    EXPECT_EQ(color_parse("met-ethernet"), 3);
    EXPECT_EQ(color_parse("met-eth"), 3);
    EXPECT_EQ(color_parse("metro-ethernet"), 0);
    EXPECT_EQ(color_parse("biz-internet"), 4);
    EXPECT_EQ(color_parse("pub-int"), 5);
    EXPECT_EQ(color_parse("public-internet"), 0);
    EXPECT_EQ(color_parse("redundant"), 8);
    EXPECT_EQ(color_parse("re"), 0);
    EXPECT_EQ(color_parse("RED"), 0);
    EXPECT_EQ(color_parse(""), 0);
    EXPECT_EQ(color_parse("invalid"), 0);
}

TEST(AddrNames, EncapsulationsAndServices)
{
    EXPECT_STREQ(encap_name(1), "gre");
    EXPECT_STREQ(encap_name(2), "ipsec");
    EXPECT_STREQ(encap_name(0), "--");
    EXPECT_STREQ(encap_name(3), "--");
    EXPECT_EQ(encap_parse("ipsec"), 2);
    EXPECT_EQ(encap_parse("gre"), 1);
    EXPECT_EQ(encap_parse("GRE"), 0);
    EXPECT_EQ(encap_parse("gre1"), 0);
    EXPECT_EQ(encap_parse(""), 0);
    EXPECT_STREQ(service_name(8), "TE");
    EXPECT_EQ(service_name(0), nullptr);
    EXPECT_EQ(service_name(9), nullptr);
}

TEST(Mac, PrintAndParse)
{
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe};
    char buf[32];
    EXPECT_STREQ(mac_to_str(mac, buf, sizeof buf), "00:1a:2b:3c:4d:fe");
    uint8_t out[6] = {};
    ASSERT_EQ(mac_parse(buf, out), 0);
    EXPECT_EQ(memcmp(out, mac, 6), 0);
    ASSERT_EQ(mac_parse("0:1A:2b:3c:4d:FE", out), 0);
    EXPECT_EQ(memcmp(out, mac, 6), 0);
}

TEST(Mac, BadTextFailsAndKeepsOutput)
{
    for (const char *text : {"", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:", "00:1a:2b:3c:4d:100", "00-1a-2b-3c-4d-5e",
                             "00:1a:2b:3c:4d:5e:6f", "zz:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5ex"}) {
        uint8_t out[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(mac_parse(text, out), 22) << text;
        EXPECT_EQ(out[0] + out[5], 18) << text;
    }
}

TEST(TimeStamp, FormatsLocalTimeAndBlankForZeroClock)
{
    const char *saved = getenv("TZ");
    std::string saved_tz = saved ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    char buf[32];
    EXPECT_STREQ(time_stamp_str_at(1700000000, buf, sizeof buf), "Nov 14 22:13:20");
    EXPECT_STREQ(time_stamp_str_at(0, buf, sizeof buf), "");
    EXPECT_EQ(strlen(time_stamp_str(buf, sizeof buf)), 15u);
    if (saved)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Ifname, InternalNames)
{
    for (const char *name : {"loopback", "loopback0", "natpool1"})
        EXPECT_TRUE(is_internal_ifname(name)) << name;
    for (const char *name : {"", "lo", "Loopback0", "ge0/0", "nat", "xloopback"})
        EXPECT_FALSE(is_internal_ifname(name)) << name;
}

TEST(Crc32, KnownCheckValues)
{
    EXPECT_EQ(crc32_buf("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_buf("abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32_buf("", 0), 0u);
    EXPECT_EQ(crc32_buf("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    // The raw update has no final complement (the JAMCRC check value).
    EXPECT_EQ(crc32(0xFFFFFFFFu, "123456789", 9), 0x340BC6D9u);
    // Updates chain.
    uint32_t crc = crc32(0xFFFFFFFFu, "1234", 4);
    crc = crc32(crc, "56789", 5);
    EXPECT_EQ(~crc, 0xCBF43926u);
}

zel_addr_t compact6(const char *text)
{
    zel_addr_t a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.v6), 1) << text;
    return a;
}

TEST(ZelAddrStr, Ipv6CompressesFirstLongestZeroRun)
{
    struct {
        const char *in;
        const char *want;
    } cases[] = {
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // first of two equal runs
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1:2:3:0:5:6:7:8", "1:2:3::5:6:7:8"},  // a single zero group counts
        {"1:0:2:0:0:0:3:4", "1:0:2::3:4"},      // the longer later run wins
        {"0:1:2:3:4:5:6:0", "::1:2:3:4:5:6:0"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7::"},
        {"fe80::abcd:ef01", "fe80::abcd:ef01"},
        {"2001:DB8:FFFF::", "2001:db8:ffff::"},
    };
    for (const auto &c : cases) {
        zel_addr_t a = compact6(c.in);
        int len = -1;
        EXPECT_STREQ(zel_addr_str(&a, &len), c.want) << c.in;
        EXPECT_EQ(len, static_cast<int>(strlen(c.want))) << c.in;
    }
}

TEST(ZelAddrStr, Ipv4FromHostOrderNumber)
{
    zel_addr_t a{};
    a.v4 = 0xC0A8010Au;
    a.is_v4 = 1;
    EXPECT_STREQ(zel_addr_str(&a), "192.168.1.10");
    a.v4 = 0xFFFFFFFFu;
    int len = 0;
    EXPECT_STREQ(zel_addr_str(&a, &len), "255.255.255.255");
    EXPECT_EQ(len, 15);
}

TEST(ZelAddrStr, RingOfEightBuffersPerSourceFile)
{
    zel_addr_t a[9];
    for (uint32_t i = 0; i < 9; i++) {
        a[i] = {};
        a[i].v4 = 0x0A000000u + i;
        a[i].is_v4 = 1;
    }
    const char *text[9];
    for (int i = 0; i < 9; i++)
        text[i] = zel_addr_str(&a[i]);
    // Eight texts are alive at once; the ninth call reuses the oldest buffer.
    std::set<const char *> distinct(text, text + 8);
    EXPECT_EQ(distinct.size(), 8u);
    for (int i = 1; i < 8; i++)
        EXPECT_EQ(text[i], std::string("10.0.0.") + std::to_string(i));
    EXPECT_EQ(text[8], text[0]);
    EXPECT_STREQ(text[0], "10.0.0.8");

    // Another source file's calls do not disturb this file's ring.
    const char *other = other_unit_addr_str(&a[3]);
    EXPECT_EQ(distinct.count(other), 0u);
    EXPECT_STREQ(text[7], "10.0.0.7");
}

}  // namespace
