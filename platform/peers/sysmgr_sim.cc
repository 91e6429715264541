// System-manager stand-in: SERVER for identifier 7; prints each hello.
#include <cstring>

#include "common/qor_util.h"
#include "daemon/zel_sysmgr.h"
#include "platform/peers/peer_sim.h"

namespace
{

constexpr const char *help_text =
    "usage: sysmgr-sim [--sock-dir DIR]\n"
    "Listens at DIR/.sysmgrd (default /var/run/.sysmgrd) for zeld and prints each hello\n"
    "(version, type, length, pid) as one JSON object per line. Commands on standard input:\n"
    "  type4     send a 32-byte message of type 4\n"
    "  quit\n";

using peer_sim::json;

void on_read(const uint8_t *payload, uint32_t len)
{
    if (len != sizeof(sysmgr_msg_t)) {
        json().str("event", "undecodable").num("len", len).line();
        return;
    }
    sysmgr_msg_t msg;
    memcpy(&msg, payload, sizeof msg);
    json()
        .str("event", msg.type == SYSMGR_MSG_HELLO ? "hello" : "message")
        .num("version", msg.version)
        .num("type", msg.type)
        .num("length", msg.length)
        .num("pid", msg.pid)
        .line();
}

void on_command(const std::vector<std::string> &w)
{
    if (w[0] == "type4") {
        sysmgr_msg_t msg{};
        msg.version = SYSMGR_MSG_VERSION;
        msg.type = SYSMGR_MSG_TYPE4;
        msg.length = SYSMGR_MSG_LEN;
        if (peer_sim::send(&msg, sizeof msg))
            json().str("event", "sent").num("type", SYSMGR_MSG_TYPE4).line();
        return;
    }
    json().str("event", "error").str("reason", "unknown command").str("command", w[0]).line();
}

}  // namespace

int main(int argc, char **argv)
{
    const peer_sim::options opts = {"sysmgr-sim", help_text, QOR_DAEMON_ID_SYSMGR, QOR_DAEMON_ID_ZELD, MSGQ_SERVER};
    return peer_sim::run(argc, argv, opts, on_read, on_command);
}
