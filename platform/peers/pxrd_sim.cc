// pxrd stand-in: CLIENT of zeld with identifier 3; prints every filter
// binding, access-list attach/detach and inspection message it receives.
#include <cstdio>

#include "common/qor_util.h"
#include "platform/peers/peer_sim.h"
#include "platform/peers/pxrd_decode.h"

namespace
{

constexpr const char *help_text = "usage: pxrd-sim [--sock-dir DIR]\n"
                                  "Connects to zeld at DIR/.zeld (default /var/run/.zeld) as pxrd and prints each\n"
                                  "message as one JSON object per line: bind/unbind (opcodes 1, 2), attach/detach\n"
                                  "(3, 4), dpi (5), or undecodable. Commands on standard input:\n"
                                  "  raw HEX   send HEX bytes to zeld as one message\n"
                                  "  bindings  print the binding table the messages left (emptied when the link\n"
                                  "            goes down): one binding or attached object per entry, then\n"
                                  "            {\"event\":\"bindings\",\"count\":N}\n"
                                  "  quit\n";

PxrdBindings g_bindings;

void on_read(const uint8_t *payload, uint32_t len)
{
    g_bindings.apply(payload, len);
    printf("%s\n", pxrd_decode(payload, len).c_str());
    fflush(stdout);
}

void on_command(const std::vector<std::string> &w)
{
    if (w[0] == "bindings" && w.size() == 1) {
        const auto lines = g_bindings.lines();
        for (const std::string &l : lines)
            printf("%s\n", l.c_str());
        peer_sim::json().str("event", "bindings").num("count", lines.size()).line();
        return;
    }
    std::vector<uint8_t> bytes;
    if (w[0] == "raw" && w.size() == 2 && peer_sim::parse_hex(w[1], &bytes) && !bytes.empty()) {
        if (peer_sim::send(bytes.data(), static_cast<uint32_t>(bytes.size())))
            peer_sim::json().str("event", "sent").str("raw", w[1]).line();
        return;
    }
    peer_sim::json().str("event", "error").str("reason", "unknown command").str("command", w[0]).line();
}

}  // namespace

int main(int argc, char **argv)
{
    const peer_sim::options opts = {"pxrd-sim", help_text, QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_CLIENT};
    // The bindings belong to the zeld that sent them: a zeld that starts again sends its own.
    peer_sim::on_link_down([] { g_bindings.clear(); });
    return peer_sim::run(argc, argv, opts, on_read, on_command);
}
