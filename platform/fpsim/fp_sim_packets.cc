#include "platform/fpsim/fp_sim_packets.h"

#include "compiler/zel_field.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>

namespace
{

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

bool is_capture(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    uint8_t m[4] = {};
    const bool got = fread(m, 1, 4, f) == 4;
    fclose(f);
    const uint32_t magic = be32(m);
    return got && (magic == 0xa1b2c3d4 || magic == 0xd4c3b2a1 || magic == 0xa1b23c4d || magic == 0x4d3cb2a1 ||
                   magic == 0x0a0d0d0a);
}

// Transport ports and TCP flags after an IP header.
void transport(const uint8_t *l4, uint32_t avail, uint32_t proto, zelc_packet *out)
{
    if ((proto == IPPROTO_TCP || proto == IPPROTO_UDP || proto == IPPROTO_SCTP) && avail >= 4) {
        out->v[ZEL_CF_SRC_PORT] = be16(l4);
        out->v[ZEL_CF_DST_PORT] = be16(l4 + 2);
    }
    if (proto == IPPROTO_TCP && avail >= 14)
        out->v[ZEL_CF_TCP] = l4[13];
}

int read_capture(const std::string &path, std::vector<fpsim_packet> *out, std::string *err)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_offline(path.c_str(), errbuf);
    if (p == nullptr) {
        *err = path + ": " + errbuf;
        return 22;
    }
    const int linktype = pcap_datalink(p);
    pcap_pkthdr *h;
    const u_char *data;
    int rc;
    while ((rc = pcap_next_ex(p, &h, &data)) == 1) {
        fpsim_packet pkt;
        pkt.len = h->len;
        uint32_t l3 = 0;
        pkt.ip = fpsim_frame_fields(data, h->caplen, linktype, &pkt.fields, &l3);
        if (pkt.ip) {
            pkt.l3.assign(data + l3, data + h->caplen);
            pkt.time_ms = uint64_t(h->ts.tv_sec) * 1000 + uint64_t(h->ts.tv_usec) / 1000;
        }
        out->push_back(std::move(pkt));
    }
    if (rc == PCAP_ERROR)
        *err = path + ": " + pcap_geterr(p);
    pcap_close(p);
    return rc == PCAP_ERROR ? 22 : 0;
}

}  // namespace

bool fpsim_frame_fields(const uint8_t *frame, uint32_t caplen, int linktype, zelc_packet *out, uint32_t *l3_offset)
{
    *out = {};
    uint32_t off = 0;
    uint16_t ethertype = 0;
    switch (linktype) {
    case DLT_EN10MB:
        if (caplen < 14)
            return false;
        ethertype = be16(frame + 12);
        off = 14;
        while ((ethertype == 0x8100 || ethertype == 0x88a8) && caplen >= off + 4) {
            ethertype = be16(frame + off + 2);
            off += 4;
        }
        break;
    case DLT_LINUX_SLL:
        if (caplen < 16)
            return false;
        ethertype = be16(frame + 14);
        off = 16;
        break;
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        if (caplen < 1)
            return false;
        ethertype = (frame[0] >> 4) == 6 ? 0x86dd : 0x0800;
        break;
    default:
        return false;
    }
    const uint8_t *ip = frame + off;
    const uint32_t avail = caplen - off;
    if (l3_offset != nullptr)
        *l3_offset = off;
    if (ethertype == 0x0800 && avail >= 20 && (ip[0] >> 4) == 4) {
        const uint32_t ihl = (ip[0] & 0xF) * 4u;
        if (ihl < 20 || avail < ihl)
            return false;
        out->v[ZEL_CF_DSCP] = ip[1] >> 2;
        out->v[ZEL_CF_PKT_LEN] = be16(ip + 2);
        out->v[ZEL_CF_PROTOCOL] = ip[9];
        out->v[ZEL_CF_SRC_ADDR] = be32(ip + 12);
        out->v[ZEL_CF_DST_ADDR] = be32(ip + 16);
        out->v[ZEL_CF_MATCH_ANY] = ZEL_FP_MATCH_ANY_VALUE;
        // Only the first fragment carries the transport header.
        if ((be16(ip + 6) & 0x1FFF) == 0)
            transport(ip + ihl, avail - ihl, ip[9], out);
        return true;
    }
    if (ethertype == 0x86dd && avail >= 40 && (ip[0] >> 4) == 6) {
        const uint32_t traffic_class = (ip[0] & 0xFu) << 4 | ip[1] >> 4;
        out->v[ZEL_CF_DSCP] = traffic_class >> 2;
        out->v[ZEL_CF_TRAFFIC_CLASS] = traffic_class;
        out->v[ZEL_CF_PKT_LEN] = be16(ip + 4) + 40u;
        out->v[ZEL_CF_PROTOCOL] = ip[6];
        out->v[ZEL_CF_NEXT_HEADER] = ip[6];
        out->v[ZEL_CF_MATCH_ANY] = ZEL_FP_MATCH_ANY_VALUE;
        transport(ip + 40, avail - 40, ip[6], out);
        return true;
    }
    return false;
}

int fpsim_read_packets(const std::string &path, uint32_t trace_len, std::vector<fpsim_packet> *out, std::string *err)
{
    out->clear();
    if (is_capture(path))
        return read_capture(path, out, err);
    std::vector<zelc_packet> trace;
    if (int rc = zelc_read_trace(path, &trace, err))
        return rc;
    out->reserve(trace.size());
    for (const zelc_packet &p : trace)
        out->push_back({p, trace_len, true});
    return 0;
}
