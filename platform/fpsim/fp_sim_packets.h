// Packets for the forwarding plane stand-in: ClassBench header traces and pcap captures.
#pragma once

#include "tools/zelc/zelc_rules.h"

#include <cstdint>
#include <string>
#include <vector>

struct fpsim_packet {
    zelc_packet fields;  // a value per compiler field
    uint32_t len = 0;    // bytes on the wire
    bool ip = true;      // false: not an IP packet, nothing to classify
    // Captured IP packets only: the packet from its IP header on, as captured, and its time.
    std::vector<uint8_t> l3;
    uint64_t time_ms = 0;
};

// Reads a pcap (or pcapng) capture, or else a ClassBench trace whose packets are `trace_len` bytes
// long. 0; 2 when the file cannot be opened; 22 with *err when it is neither.
int fpsim_read_packets(const std::string &path, uint32_t trace_len, std::vector<fpsim_packet> *out, std::string *err);

// Header fields of one captured frame of link type `linktype` (DLT_*), and where its IP header
// starts. False when it carries no IPv4 or IPv6 packet.
bool fpsim_frame_fields(const uint8_t *frame, uint32_t caplen, int linktype, zelc_packet *out,
                        uint32_t *l3_offset = nullptr);
