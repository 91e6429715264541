#include "common/ip_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/avl.h"

namespace
{

ip_addr_t addr(const char *text)
{
    ip_addr_t a{};
    EXPECT_EQ(ip_addr_parse(text, &a), 1) << text;
    return a;
}

// The model of parsing: inet_pton's bytes, IPv4 as a host-order number; a failure is all zeros.
TEST(IpAddr, ParseMatchesInetPtonAndPrintsBack)
{
    for (const char *text :
         {"10.1.2.3", "255.255.255.255", "0.0.0.0", "2001:db8::1", "::", "::1", "fe80::1:2", "2001:db8:0:1:2:3:4:5",
          "::ffff:10.0.0.1", "", "host", "1.2.3.4.5", "10.0.0.256", "2001:db8::1::2", "::g", "1.2.3.4/24"}) {
        ip_addr_t want{}, a;
        memset(&a, 0xA5, sizeof a);
        if (inet_pton(AF_INET, text, &want.v4) == 1) {
            want.family = AF_INET;
            want.v4 = ntohl(want.v4);
        } else if (inet_pton(AF_INET6, text, want.v6) == 1) {
            want.family = AF_INET6;
        }
        EXPECT_EQ(ip_addr_parse(text, &a), want.family ? 1 : 0) << text;
        EXPECT_EQ(memcmp(&a, &want, sizeof a), 0) << text;
        char buf[64];
        EXPECT_STREQ(ip_addr_to_str(&a, buf, sizeof buf), want.family ? text : "--");
    }
}

TEST(IpAddr, PortPrefixLocatorAndMacText)
{
    char b[8][96];
    const ip_addr_port_t ap4{addr("1.2.3.4"), 830}, ap6{addr("2001:db8::2"), 65535};
    const ip_prefix_t p4{addr("10.0.0.0"), 8}, p6{addr("2001:db8::"), 128};
    const tloc_key_t k4{addr("192.168.0.1"), 4, ENCAP_IPSEC}, k6{addr("2001:db8::9"), 99, 7};
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe};
    const std::pair<std::string, const char *> texts[] = {
        {ip_addr_port_to_str(&ap4, b[0], 96), "1.2.3.4:830"},
        {ip_addr_port_to_str(&ap6, b[1], 96), "2001:db8::2:65535"},
        {ip_prefix_to_str(&p4, b[2], 96), "10.0.0.0/8"},
        {ip_prefix_to_str(&p6, b[3], 6), "2001:"},  // cut to the buffer, still terminated
        {tloc_to_name_str(&k4, b[4], 96), "192.168.0.1 : biz-internet : ipsec"},
        {tloc_to_name_str(&k6, b[5], 96), "2001:db8::9 : -- : --"},
        {tloc_to_str(&k6, b[6], 96), "Originator: 2001:db8::9 Color: 99 Encap: 7"},
        {mac_to_str(mac, b[7], 96), "00:1a:2b:3c:4d:fe"},
    };
    for (const auto &[got, want] : texts)
        EXPECT_EQ(got, want);
    for (const char *text : {"00:1a:2b:3c:4d:fe", "0:1A:2b:3c:4d:FE"}) {
        uint8_t out[6] = {};
        ASSERT_EQ(mac_parse(text, out), 0) << text;
        EXPECT_EQ(memcmp(out, mac, 6), 0) << text;
    }
    for (const char *text : {"", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:", "00:1a:2b:3c:4d:100", "00-1a-2b-3c-4d-5e",
                             "00:1a:2b:3c:4d:5e:6f", "zz:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5ex"}) {
        uint8_t out[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(mac_parse(text, out), 22) << text;
        EXPECT_EQ(out[0] + out[5], 18) << text << ": output kept";
    }
}

struct tloc_entry {
    avl_node_t node;
    tloc_key_t key;
};

// The model of the order: tuples of family, unsigned address (IPv4 number or IPv6 bytes), colour,
// encapsulation.
using AddrModel = std::tuple<uint32_t, uint32_t, std::string>;
using KeyModel = std::tuple<AddrModel, uint8_t, uint8_t>;

AddrModel model_of(const ip_addr_t &a)
{
    const bool is4 = a.family == AF_INET;
    return {a.family, is4 ? a.v4 : 0, std::string(is4 ? "" : reinterpret_cast<const char *>(a.v6), is4 ? 0 : 16)};
}

KeyModel model_of(const tloc_key_t &k) { return {model_of(k.addr), k.color, k.encap}; }

template <class T>
int sign(const T &a, const T &b)
{
    return (a > b) - (a < b);
}

TEST(TlocKey, RandomKeysOrderLikeTuplesInComparesAndInATree)
{
    std::mt19937 rng(5);
    // Few values per field, so keys often differ in one field only; 127.255.255.255 and 128.0.0.0
    // catch a signed IPv4 compare.
    const char *addrs[] = {"127.255.255.255", "128.0.0.0",     "10.0.0.1", "::", "::1",
                           "2001:db8::1",     "2001:db8::100", "fe80::"};
    std::vector<tloc_entry> entries(300);
    avl_tree_t tree;
    avl_create(
        &tree,
        [](const void *a, const void *b) {
            return tloc_key_cmp(&static_cast<const tloc_entry *>(a)->key, &static_cast<const tloc_entry *>(b)->key);
        },
        sizeof(tloc_entry), offsetof(tloc_entry, node));
    std::set<KeyModel> model;
    for (tloc_entry &e : entries) {
        tloc_key_t k[2];
        for (tloc_key_t &x : k)
            x = {addr(addrs[rng() % 8]), static_cast<uint8_t>(rng() % 3 * 7), static_cast<uint8_t>(1 + rng() % 2)};
        ASSERT_EQ(tloc_key_cmp(&k[0], &k[1]), sign(model_of(k[0]), model_of(k[1])));
        ASSERT_EQ(ip_addr_cmp(&k[0].addr, &k[1].addr), sign(model_of(k[0].addr), model_of(k[1].addr)));
        e.key = k[0];
        if (model.insert(model_of(e.key)).second)
            avl_add(&tree, &e);
    }
    std::vector<KeyModel> order;
    for (void *p = avl_first(&tree); p; p = AVL_NEXT(&tree, p))
        order.push_back(model_of(static_cast<tloc_entry *>(p)->key));
    EXPECT_EQ(order, std::vector<KeyModel>(model.begin(), model.end()));
    EXPECT_GT(model.size(), 40u);
    void *cookie = nullptr;
    while (avl_destroy_nodes(&tree, &cookie)) {}
    avl_destroy(&tree);
}

TEST(Crc, KnownCheckValues)
{
    EXPECT_EQ(crc32_buf("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_buf("", 0), 0u);
    EXPECT_EQ(crc32_buf("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    // The raw update has no final complement (the JAMCRC check value), and updates chain.
    EXPECT_EQ(crc32(0xFFFFFFFFu, "123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(~crc32(crc32(0xFFFFFFFFu, "1234", 4), "56789", 5), 0xCBF43926u);
}

TEST(ZelAddrStr, Ipv6CompressesFirstLongestZeroRunAndIpv4IsAHostOrderNumber)
{
    const std::pair<const char *, const char *> cases[] = {
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // first of two equal runs
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1:2:3:0:5:6:7:8", "1:2:3::5:6:7:8"},  // a single zero group counts
        {"1:0:2:0:0:0:3:4", "1:0:2::3:4"},      // the longer later run wins
        {"0:1:2:3:4:5:6:0", "::1:2:3:4:5:6:0"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7::"},
        {"2001:DB8:FFFF::", "2001:db8:ffff::"},
    };
    for (const auto &[in, want] : cases) {
        zel_addr_t a{};
        ASSERT_EQ(inet_pton(AF_INET6, in, a.v6), 1) << in;
        int len = -1;
        EXPECT_STREQ(zel_addr_str(&a, &len), want) << in;
        EXPECT_EQ(len, static_cast<int>(strlen(want))) << in;
    }
    zel_addr_t a{};
    a.v4 = 0xC0A8010Au;
    a.is_v4 = 1;
    int len = 0;
    EXPECT_STREQ(zel_addr_str(&a, &len), "192.168.1.10");
    EXPECT_EQ(len, 12);
}

}  // namespace
