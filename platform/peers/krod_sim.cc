// krod stand-in: SERVER for identifier 2; prints zeld's requests and sends
// locator reports on command.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "common/ip_util.h"
#include "common/qor_util.h"
#include "platform/kro/kro_msg.h"
#include "platform/peers/peer_sim.h"

namespace
{

constexpr const char *help_text =
    "usage: krod-sim [--sock-dir DIR]\n"
    "Listens at DIR/.krod (default /var/run/.krod) for zeld and prints each message\n"
    "as one JSON object per line. Commands, one per line on standard input:\n"
    "  update ADDR COLOR ENCAP [state=N] [index=N] [pref=N] [weight=N] [local=N]\n"
    "      locator update (type 5); ADDR IPv4 or IPv6, COLOR a name (mpls, biz-int, ...)\n"
    "      or number, ENCAP gre, ipsec or a number; state defaults to 1, the rest to 0\n"
    "  withdraw ADDR COLOR ENCAP   locator withdrawal (type 6)\n"
    "  raw HEX                     send HEX bytes as one message, as they are\n"
    "  quit\n";

using peer_sim::json;

void on_read(const uint8_t *payload, uint32_t len)
{
    kro_msg_t msg;
    int rc = kro_msg_decode(&msg, payload, len);
    if (rc != 0) {
        json().str("event", "undecodable").num("len", len).num("rc", static_cast<uint32_t>(rc)).line();
        return;
    }
    if (msg.type == KRO_MSG_REQUEST) {
        json()
            .str("event", "request")
            .num("type", msg.type)
            .num("source", msg.src)
            .num("index", msg.index)
            .num("subscribe", msg.body.req.subscribe)
            .num("resync", msg.body.req.resync)
            .line();
        return;
    }
    json().str("event", "message").num("type", msg.type).num("source", msg.src).num("len", len).line();
}

uint8_t parse_code(const std::string &word, uint8_t (*by_name)(const char *))
{
    uint32_t v;
    if (peer_sim::parse_u32(word, &v) && v <= 0xFF)
        return static_cast<uint8_t>(v);
    return by_name(word.c_str());
}

bool fill_locator(const std::vector<std::string> &w, kro_tloc_body_t *body)
{
    ip_addr_t addr;
    if (w.size() < 4 || !ip_addr_parse(w[1].c_str(), &addr))
        return false;
    body->family = addr.family;
    if (addr.family == AF_INET)
        body->addr.v4 = htonl(addr.v4);
    else
        memcpy(body->addr.v6, addr.v6, sizeof body->addr.v6);
    body->color = parse_code(w[2], color_parse);
    body->encap = parse_code(w[3], encap_parse);
    return true;
}

bool fill_options(const std::vector<std::string> &w, kro_tloc_body_t *body)
{
    body->state = 1;
    for (size_t i = 4; i < w.size(); i++) {
        const size_t eq = w[i].find('=');
        uint32_t v;
        if (eq == std::string::npos || !peer_sim::parse_u32(std::string_view(w[i]).substr(eq + 1), &v))
            return false;
        const std::string key = w[i].substr(0, eq);
        if (key == "state")
            body->state = v;
        else if (key == "index")
            body->tloc_index = v;
        else if (key == "pref")
            body->pref = v;
        else if (key == "weight")
            body->weight = v;
        else if (key == "local" && v <= 0xFF)
            body->local = static_cast<uint8_t>(v);
        else
            return false;
    }
    return true;
}

void send_locator(const std::vector<std::string> &w, uint32_t type)
{
    kro_msg_t msg{};
    msg.type = type;
    msg.src = QOR_DAEMON_ID_KROD;
    if (!fill_locator(w, &msg.body.tloc) || (type == KRO_MSG_TLOC_UPDATE && !fill_options(w, &msg.body.tloc))) {
        json().str("event", "error").str("reason", "bad arguments").str("command", w[0]).line();
        return;
    }
    uint8_t buf[KRO_MSG_LEN];
    uint32_t len = 0;
    if (kro_msg_encode(&msg, buf, sizeof buf, &len) != 0 || !peer_sim::send(buf, len))
        return;
    json().str("event", "sent").num("type", type).str("addr", w[1]).line();
}

void on_command(const std::vector<std::string> &w)
{
    if (w[0] == "update") {
        send_locator(w, KRO_MSG_TLOC_UPDATE);
    } else if (w[0] == "withdraw") {
        send_locator(w, KRO_MSG_TLOC_WITHDRAW);
    } else if (w[0] == "raw") {
        std::vector<uint8_t> bytes;
        if (w.size() != 2 || !peer_sim::parse_hex(w[1], &bytes) || bytes.empty()) {
            json().str("event", "error").str("reason", "bad hex").line();
            return;
        }
        if (peer_sim::send(bytes.data(), static_cast<uint32_t>(bytes.size())))
            json().str("event", "sent").str("raw", w[1]).line();
    } else {
        json().str("event", "error").str("reason", "unknown command").str("command", w[0]).line();
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const peer_sim::options opts = {"krod-sim", help_text, QOR_DAEMON_ID_KROD, QOR_DAEMON_ID_ZELD, MSGQ_SERVER};
    return peer_sim::run(argc, argv, opts, on_read, on_command);
}
