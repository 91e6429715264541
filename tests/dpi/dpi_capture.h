// Captures for application-recognition tests, made at test time: Ethernet frames of TCP and UDP
// flows whose payloads nDPI recognises, written with libpcap's dump functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dpi_test
{

using frame = std::vector<uint8_t>;

// A TCP flow from client port `sport` to server port `dport`: SYN, SYN-ACK, ACK, then the client's
// payload. nDPI decides on the payload packet, the fourth.
std::vector<frame> tcp_flow(uint16_t sport, uint16_t dport, const std::vector<uint8_t> &payload);
// One UDP datagram.
frame udp_packet(uint16_t sport, uint16_t dport, const std::vector<uint8_t> &payload);

std::vector<uint8_t> tls_client_hello(const std::string &server_name);
std::vector<uint8_t> http_get(const std::string &host);
std::vector<uint8_t> dns_query(const std::string &name);
std::vector<uint8_t> bittorrent_handshake();

// Writes the frames (link type Ethernet, 1 ms apart); false when the file cannot be written.
bool write_capture(const std::string &path, const std::vector<frame> &frames);

// The usual mix: youtube, netflix (TLS), http, dns, bittorrent, in that order (17 frames).
std::vector<frame> mixed_flows();

}  // namespace dpi_test
