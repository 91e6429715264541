#include "dpi_capture.h"

#include <pcap/pcap.h>

namespace dpi_test
{

namespace
{

constexpr uint8_t kClient[4] = {10, 1, 0, 1}, kServer[4] = {10, 2, 0, 1};

void put16(std::vector<uint8_t> &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t> &b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v);
}
void append(std::vector<uint8_t> &b, const std::vector<uint8_t> &more) { b.insert(b.end(), more.begin(), more.end()); }
void append(std::vector<uint8_t> &b, const std::string &more) { b.insert(b.end(), more.begin(), more.end()); }

uint16_t checksum(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += uint32_t{p[i]} << 8 | p[i + 1];
    if (n & 1)
        s += uint32_t{p[n - 1]} << 8;
    while (s >> 16)
        s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

// Ethernet and IPv4 around a transport segment.
frame ipv4_frame(bool from_client, uint8_t proto, const std::vector<uint8_t> &l4)
{
    frame f(12, 0);
    put16(f, 0x0800);
    const size_t ip = f.size();
    f.push_back(0x45);
    f.push_back(0);
    put16(f, static_cast<uint32_t>(20 + l4.size()));
    put32(f, 0x00004000);  // id 0, don't fragment
    f.push_back(64);
    f.push_back(proto);
    put16(f, 0);
    const uint8_t *src = from_client ? kClient : kServer, *dst = from_client ? kServer : kClient;
    f.insert(f.end(), src, src + 4);
    f.insert(f.end(), dst, dst + 4);
    const uint16_t sum = checksum(&f[ip], 20);
    f[ip + 10] = static_cast<uint8_t>(sum >> 8);
    f[ip + 11] = static_cast<uint8_t>(sum);
    append(f, l4);
    return f;
}

frame tcp_segment(bool from_client, uint16_t cport, uint16_t sport, uint32_t seq, uint32_t ack, uint8_t flags,
                  const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> t;
    put16(t, from_client ? cport : sport);
    put16(t, from_client ? sport : cport);
    put32(t, seq);
    put32(t, ack);
    t.push_back(5 << 4);
    t.push_back(flags);
    put16(t, 0xFFFF);
    put32(t, 0);  // checksum, urgent pointer
    append(t, payload);
    return ipv4_frame(from_client, 6, t);
}

}  // namespace

std::vector<frame> tcp_flow(uint16_t sport, uint16_t dport, const std::vector<uint8_t> &payload)
{
    constexpr uint8_t SYN = 0x02, ACK = 0x10, PSH = 0x08;
    return {tcp_segment(true, sport, dport, 1000, 0, SYN, {}),
            tcp_segment(false, sport, dport, 5000, 1001, SYN | ACK, {}),
            tcp_segment(true, sport, dport, 1001, 5001, ACK, {}),
            tcp_segment(true, sport, dport, 1001, 5001, PSH | ACK, payload)};
}

frame udp_packet(uint16_t sport, uint16_t dport, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> u;
    put16(u, sport);
    put16(u, dport);
    put16(u, static_cast<uint32_t>(8 + payload.size()));
    put16(u, 0);
    append(u, payload);
    return ipv4_frame(true, 17, u);
}

std::vector<uint8_t> tls_client_hello(const std::string &server_name)
{
    std::vector<uint8_t> sni;
    put16(sni, static_cast<uint32_t>(server_name.size() + 3));
    sni.push_back(0);  // host name
    put16(sni, static_cast<uint32_t>(server_name.size()));
    append(sni, server_name);
    std::vector<uint8_t> ext;
    put16(ext, 0);  // server_name
    put16(ext, static_cast<uint32_t>(sni.size()));
    append(ext, sni);

    std::vector<uint8_t> hello;
    put16(hello, 0x0303);
    for (uint8_t i = 0; i < 32; i++)
        hello.push_back(i);  // random
    hello.push_back(0);      // no session id
    put16(hello, 4);
    put16(hello, 0x1301);  // TLS_AES_128_GCM_SHA256
    put16(hello, 0xC02F);  // ECDHE-RSA-AES128-GCM-SHA256
    hello.push_back(1);
    hello.push_back(0);  // no compression
    put16(hello, static_cast<uint32_t>(ext.size()));
    append(hello, ext);

    std::vector<uint8_t> hs{1};  // client_hello
    hs.push_back(0);
    put16(hs, static_cast<uint32_t>(hello.size()));
    append(hs, hello);
    std::vector<uint8_t> rec{0x16, 0x03, 0x01};  // handshake record
    put16(rec, static_cast<uint32_t>(hs.size()));
    append(rec, hs);
    return rec;
}

std::vector<uint8_t> http_get(const std::string &host)
{
    std::vector<uint8_t> b;
    append(b, "GET / HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: zel-test\r\nAccept: */*\r\n\r\n");
    return b;
}

std::vector<uint8_t> dns_query(const std::string &name)
{
    std::vector<uint8_t> b{0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};  // one recursive question
    size_t start = 0;
    for (size_t dot = name.find('.'); start <= name.size(); dot = name.find('.', start)) {
        const std::string label = name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        b.push_back(static_cast<uint8_t>(label.size()));
        append(b, label);
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    b.push_back(0);
    put16(b, 1);  // A
    put16(b, 1);  // IN
    return b;
}

std::vector<uint8_t> bittorrent_handshake()
{
    std::vector<uint8_t> b{19};
    append(b, std::string("BitTorrent protocol"));
    b.resize(b.size() + 8, 0);  // reserved
    for (uint8_t i = 0; i < 20; i++)
        b.push_back(static_cast<uint8_t>(0xA0 + i));  // info hash
    append(b, std::string("-ZL0001-abcdefghijkl"));   // peer id
    return b;
}

bool write_capture(const std::string &path, const std::vector<frame> &frames)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *dump = dead != nullptr ? pcap_dump_open(dead, path.c_str()) : nullptr;
    if (dump == nullptr) {
        if (dead != nullptr)
            pcap_close(dead);
        return false;
    }
    long ms = 0;
    for (const frame &f : frames) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + ms / 1000;
        h.ts.tv_usec = (ms % 1000) * 1000;
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char *>(dump), &h, f.data());
        ms++;
    }
    pcap_dump_close(dump);
    pcap_close(dead);
    return true;
}

std::vector<frame> mixed_flows()
{
    std::vector<frame> all;
    auto add = [&](std::vector<frame> flow) { all.insert(all.end(), flow.begin(), flow.end()); };
    add(tcp_flow(40001, 443, tls_client_hello("www.youtube.com")));
    add(tcp_flow(40002, 443, tls_client_hello("www.netflix.com")));
    add(tcp_flow(40003, 80, http_get("www.example.com")));
    all.push_back(udp_packet(40004, 53, dns_query("www.example.com")));
    add(tcp_flow(40005, 6881, bittorrent_handshake()));
    return all;
}

}  // namespace dpi_test
