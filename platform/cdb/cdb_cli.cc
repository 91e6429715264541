// cdb-cli: the operator's command line to cdb-sim.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/cdb/confd_internal.h"

using cdbwire::WireReader;
using cdbwire::WireWriter;

namespace
{

void usage()
{
    fprintf(stderr, "usage: cdb-cli [--port N] COMMAND\n"
                    "  load FILE.json           merge FILE into the running configuration and commit\n"
                    "  replace FILE.json        replace the running configuration by FILE and commit\n"
                    "  delete PATH              delete PATH (e.g. /policy/lists/app-list{apps}) and commit\n"
                    "  show-config [PATH]       print the running configuration as JSON\n"
                    "  show CALLPOINT [KEY...]  list the entries served by a daemon\n"
                    "  request ACTION [PARAM VALUE...]  run an action point\n"
                    "  notifications | traps    print what was recorded, one JSON object per line\n"
                    "  status                   print the start phase and the connected daemons\n"
                    "  phase N                  move the database to start phase N\n");
}

bool read_file(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    int port = CONFD_PORT;
    if (const char *e = getenv("CONFD_IPC_PORT"))
        port = atoi(e);
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "--port") == 0) {
        port = atoi(argv[i + 1]);
        i += 2;
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    std::string cmd = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);
    WireWriter w;
    uint32_t op = 0;
    if ((cmd == "load" || cmd == "replace") && args.size() == 1) {
        std::string json;
        if (!read_file(args[0], &json)) {
            fprintf(stderr, "Error: cannot read %s: %s\n", args[0].c_str(), strerror(errno));
            return 1;
        }
        op = cdbwire::kOpCliLoad;
        w.u8(cmd == "replace");
        w.str(json);
    } else if (cmd == "delete" && args.size() == 1) {
        op = cdbwire::kOpCliDelete;
        w.str(args[0]);
    } else if (cmd == "show-config" && args.size() <= 1) {
        op = cdbwire::kOpCliShowConfig;
        w.str(args.empty() ? "" : args[0]);
    } else if ((cmd == "show" || cmd == "request") && !args.empty()) {
        op = cmd == "show" ? cdbwire::kOpCliShow : cdbwire::kOpCliRequest;
        w.str(args[0]);
        w.u32(static_cast<uint32_t>(args.size() - 1));
        for (size_t k = 1; k < args.size(); k++)
            w.str(args[k]);
    } else if (cmd == "notifications" && args.empty()) {
        op = cdbwire::kOpCliNotifs;
    } else if (cmd == "traps" && args.empty()) {
        op = cdbwire::kOpCliTraps;
    } else if (cmd == "status" && args.empty()) {
        op = cdbwire::kOpCliStatus;
    } else if (cmd == "phase" && args.size() == 1) {
        op = cdbwire::kOpCliPhase;
        w.u32(static_cast<uint32_t>(atoi(args[0].c_str())));
    } else {
        usage();
        return 2;
    }
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (confd_internal::hello(sock, reinterpret_cast<sockaddr *>(&a), sizeof a, cdbwire::kConnCli, "cdb-cli", 0,
                              nullptr) < 0) {
        fprintf(stderr, "Error: cannot reach the configuration database on port %d: %s\n", port, confd_lasterr());
        return 1;
    }
    if (confd_internal::send_frame(sock, op, w) != CONFD_OK) {
        fprintf(stderr, "Error: %s\n", confd_lasterr());
        return 1;
    }
    for (;;) {
        uint32_t rop = 0;
        std::string payload;
        if (cdbwire::read_frame(sock, &rop, &payload) != CONFD_OK) {
            fprintf(stderr, "Error: connection lost: %s\n", confd_lasterr());
            return 1;
        }
        WireReader r(payload);
        if (rop == cdbwire::kOpCliOutput) {
            std::string text = r.str();
            fwrite(text.data(), 1, text.size(), stdout);
            fflush(stdout);
            continue;
        }
        if (rop != cdbwire::kOpReply)
            continue;
        int err = r.i32();
        std::string msg = r.str();
        std::string text = r.str();
        if (err) {
            fprintf(stderr, "%s%s", msg.c_str(), !msg.empty() && msg.back() == '\n' ? "" : "\n");
            return 1;
        }
        fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
}
