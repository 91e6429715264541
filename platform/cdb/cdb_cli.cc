// cdb-cli: the operator's command line to cdb-sim.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/cdb/confd_cdb.h"
#include "platform/cdb/confd_internal.h"

using cdbwire::WireReader;
using cdbwire::WireWriter;

namespace
{

void usage()
{
    fprintf(stderr,
            "usage: cdb-cli [--port N] COMMAND\n"
            "  load FILE.json           merge FILE into the running configuration and commit\n"
            "  replace FILE.json        replace the running configuration by FILE and commit\n"
            "  replace --empty          delete the whole running configuration and commit\n"
            "  delete PATH              delete PATH (e.g. /policy/lists/app-list{apps}) and commit\n"
            "  show-config [PATH]       print the running configuration as JSON\n"
            "  show-oper [PATH]         print the operational data as JSON (e.g. /debugs)\n"
            "  show CALLPOINT [KEY...] [--from KEY...] [--json]\n"
            "                           list the entries a daemon serves on CALLPOINT as a table (or one\n"
            "                           JSON document); KEYs name the enclosing entries, then optionally\n"
            "                           one entry; --from starts the listing at that entry or the next\n"
            "  request ACTION [PARAM VALUE...]  run an action point\n"
            "  notifications | traps    print what was recorded, one JSON object per line\n"
            "  status                   print the start phase and the connected daemons\n"
            "  phase N                  move the database to start phase N\n"
            "  read-priority MASK       write /cfgd-initial-read-priority (0x7: every level before the\n"
            "                           daemons' own has read its configuration, as the platform does at boot)\n");
}

// A configuration document from a file; on failure *err says why. An empty (or blank)
// file is refused: taken as a document it would replace everything by nothing.
bool read_config(const std::string &path, std::string *out, std::string *err)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *err = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = "cannot read " + path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    if (!in || !(ss << in.rdbuf()) || in.bad()) {
        *err = "cannot read " + path + ": " + strerror(errno ? errno : EIO);
        return false;
    }
    *out = ss.str();
    if (out->find_first_not_of(" \t\r\n") == std::string::npos) {
        *err = path + " holds no configuration (empty file)";
        return false;
    }
    return true;
}

// The operational initial-read mask, written as the platform's boot sequence writes it.
int write_read_priority(int port, const std::string &text)
{
    char *end = nullptr;
    const unsigned long mask = strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || mask > 0xFFFFFFFFul) {
        fprintf(stderr, "Error: '%s' is not a mask\n", text.c_str());
        return 2;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    confd_value_t v;
    CONFD_SET_BIT32(&v, static_cast<uint32_t>(mask));
    const bool ok = cdb_connect(s, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&a), sizeof a) == CONFD_OK &&
                    cdb_start_session(s, CDB_OPERATIONAL) == CONFD_OK &&
                    cdb_set_elem(s, &v, "/cfgd-initial-read-priority") == CONFD_OK;
    if (!ok)
        fprintf(stderr, "Error: %s\n", confd_lasterr());
    cdb_close(s);
    return ok ? 0 : 1;
}

// What a show command asks for.
struct show_args {
    std::string callpoint;
    std::vector<std::string> keys;  // enclosing entries' keys, then the entry's own
    bool from = false;
    bool json = false;
};

bool parse_show(const std::vector<std::string> &args, show_args *out)
{
    for (const std::string &a : args) {
        if (a == "--json")
            out->json = true;
        else if (a == "--from" && !out->callpoint.empty() && !out->from)
            out->from = true;
        else if (out->callpoint.empty() && a.rfind("--", 0) != 0)
            out->callpoint = a;
        else if (!out->callpoint.empty())
            out->keys.push_back(a);
        else
            return false;
    }
    return !out->callpoint.empty();
}

// The one JSON document of "show --json": the request, then its entries or the error.
std::string show_json(const show_args &a, int err, const std::string &body)
{
    std::string keys;
    for (const std::string &k : a.keys)
        keys += (keys.empty() ? "" : ",") + cdbwire::json_quote(k);
    std::string doc = "{\"callpoint\":" + cdbwire::json_quote(a.callpoint) + ",\"keys\":[" + keys + "]";
    if (a.from)
        doc += ",\"from\":true";
    if (err) {
        std::string msg = body;
        while (!msg.empty() && msg.back() == '\n')
            msg.pop_back();
        if (msg.rfind("Error: ", 0) == 0)
            msg.erase(0, 7);
        return doc + ",\"error\":" + cdbwire::json_quote(msg) + "}\n";
    }
    std::string entries = body;
    while (!entries.empty() && entries.back() == '\n')
        entries.pop_back();
    return doc + ",\"entries\":" + (entries.empty() ? "[]" : entries) + "}\n";
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
    if (cmd == "read-priority" && args.size() == 1)
        return write_read_priority(port, args[0]);
    WireWriter w;
    uint32_t op = 0;
    show_args show;
    const bool is_show = cmd == "show";
    if (is_show && !parse_show(args, &show)) {
        if (show.json) {
            fputs(show_json(show, 1, "a callpoint is needed").c_str(), stdout);
            return 2;
        }
        usage();
        return 2;
    }
    // Errors of a show go where its answer would: a JSON document stays one document.
    auto fail = [&](const std::string &msg, int rc) {
        if (is_show && show.json)
            fputs(show_json(show, 1, msg).c_str(), stdout);
        else
            fprintf(stderr, "%s%s", msg.c_str(), !msg.empty() && msg.back() == '\n' ? "" : "\n");
        return rc;
    };
    if (is_show) {
        op = cdbwire::kOpCliShow;
        w.str(show.callpoint);
        w.u32(static_cast<uint32_t>(show.keys.size()));
        for (const std::string &k : show.keys)
            w.str(k);
        w.u8(static_cast<uint8_t>((show.from ? cdbwire::kCliShowFrom : 0) | (show.json ? 0 : cdbwire::kCliShowTable)));
    } else if (cmd == "replace" && args.size() == 1 && args[0] == "--empty") {
        op = cdbwire::kOpCliLoad;
        w.u8(cdbwire::kCliLoadClear);
        w.str("");
    } else if ((cmd == "load" || cmd == "replace") && args.size() == 1) {
        std::string json, err;
        if (!read_config(args[0], &json, &err)) {
            fprintf(stderr, "Error: %s\n", err.c_str());
            return 1;
        }
        op = cdbwire::kOpCliLoad;
        w.u8(cmd == "replace" ? cdbwire::kCliLoadReplace : cdbwire::kCliLoadMerge);
        w.str(json);
    } else if (cmd == "delete" && args.size() == 1) {
        op = cdbwire::kOpCliDelete;
        w.str(args[0]);
    } else if ((cmd == "show-config" || cmd == "show-oper") && args.size() <= 1) {
        op = cmd == "show-config" ? cdbwire::kOpCliShowConfig : cdbwire::kOpCliShowOper;
        w.str(args.empty() ? "" : args[0]);
    } else if (cmd == "request" && !args.empty()) {
        op = cdbwire::kOpCliRequest;
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
                              nullptr) < 0)
        return fail("Error: cannot reach the configuration database on port " + std::to_string(port) + ": " +
                        confd_lasterr(),
                    1);
    if (confd_internal::send_frame(sock, op, w) != CONFD_OK)
        return fail(std::string("Error: ") + confd_lasterr(), 1);
    for (;;) {
        uint32_t rop = 0;
        std::string payload;
        if (cdbwire::read_frame(sock, &rop, &payload) != CONFD_OK)
            return fail(std::string("Error: connection lost: ") + confd_lasterr(), 1);
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
        if (err)
            return fail(msg, 1);
        if (is_show && show.json)
            text = show_json(show, 0, text);
        fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
}
