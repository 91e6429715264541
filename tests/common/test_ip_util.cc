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

// The names operators read in show output and log lines, and the parsers of configuration text.
TEST(Names, ColoursEncapsulationsServicesAndInterfaces)
{
    // Parsing compares prefixes of the short forms; printing uses the long names.
    const std::pair<const char *, int> colours[] = {
        {"default", 1},   {"met-ethernet", 3}, {"metro-ethernet", 0}, {"pub-int", 5},
        {"private6", 22}, {"privat", 0},       {"3g-lte", 7},         {"", 0}};
    for (const auto &[text, code] : colours)
        EXPECT_EQ(color_parse(text), code) << text;
    EXPECT_STREQ(color_name(3), "metro-ethernet");
    EXPECT_STREQ(color_name(22), "private6");
    EXPECT_STREQ(color_name(23), "--");
    EXPECT_EQ(encap_parse("ipsec"), ENCAP_IPSEC);
    EXPECT_EQ(encap_parse("gre"), ENCAP_GRE);
    EXPECT_EQ(encap_parse("vxlan"), 0);
    EXPECT_STREQ(encap_name(3), "--");
    EXPECT_STREQ(service_name(1), "FW");
    EXPECT_STREQ(service_name(8), "TE");
    EXPECT_EQ(service_name(9), nullptr);
    EXPECT_TRUE(is_internal_ifname("loopback0"));
    EXPECT_TRUE(is_internal_ifname("natpool12"));
    EXPECT_FALSE(is_internal_ifname("ge0/0"));
    const tloc_key_t key{addr("10.0.0.1"), 11, ENCAP_IPSEC};
    char buf[96];
    EXPECT_STREQ(tloc_to_name_str(&key, buf, sizeof buf), "10.0.0.1 : gold : ipsec");
    EXPECT_STREQ(tloc_to_str(&key, buf, sizeof buf), "Originator: 10.0.0.1 Color: 11 Encap: 2");
}

TEST(Text, MacAddressesCompactAddressesAndCrc)
{
    uint8_t mac[6];
    ASSERT_EQ(mac_parse("0:1b:2c:3d:4e:5f", mac), 0);
    char buf[64];
    EXPECT_STREQ(mac_to_str(mac, buf, sizeof buf), "00:1b:2c:3d:4e:5f");
    EXPECT_NE(mac_parse("0:1b:2c:3d:4e", mac), 0);  // all six fields are required

    // The first of two equal zero runs is compressed; a ninth address reuses the first buffer.
    auto v6 = [](const char *text) {
        zel_addr_t a{};
        EXPECT_EQ(inet_pton(AF_INET6, text, a.v6), 1);
        return a;
    };
    const zel_addr_t runs = v6("2001:db8:0:0:1:0:0:1"), zero = v6("::"), v4{{0x0A000001}, 1};
    int len = 0;
    const char *first = zel_addr_str(&runs, &len);
    EXPECT_STREQ(first, "2001:db8::1:0:0:1");
    EXPECT_EQ(len, 17);
    EXPECT_STREQ(zel_addr_str(&zero), "::");
    EXPECT_STREQ(zel_addr_str(&v4), "10.0.0.1");
    for (int i = 3; i < 8; i++)
        EXPECT_NE(zel_addr_str(&zero), first);
    EXPECT_EQ(zel_addr_str(&zero), first);

    EXPECT_EQ(crc32_buf("abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32_buf("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(~crc32(crc32(0xFFFFFFFFu, "1234", 4), "56789", 5), 0xCBF43926u);  // updates chain
}

}  // namespace
