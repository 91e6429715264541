// cdb-sim: a single-threaded stand-in for the ConfD configuration database.
// Running datastore (validated with libyang, persisted as JSON), operational
// datastore, commit delivery to subscribers in priority order, data-provider and
// action routing to registered daemons, notification recording and the operator
// CLI protocol. Wire protocol: cdb_wire.h.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "platform/cdb/cdb_diff.h"
#include "platform/cdb/cdb_history.h"
#include "platform/cdb/cdb_schema.h"
#include "platform/cdb/confd_cdb.h"

#ifndef ZEL_CDB_YANG_DIR
#define ZEL_CDB_YANG_DIR "yang"
#endif

using cdbwire::WireReader;
using cdbwire::WireWriter;
using namespace cdbsim;

const char *confd_internal_name(uint32_t tag);

namespace
{

volatile sig_atomic_t g_stop = 0;
bool g_verbose = false;

void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char *fmt, ...)
{
    if (!g_verbose)
        return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "cdb-sim: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
}

std::string now_text()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    gmtime_r(&tv.tv_sec, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(tv.tv_usec));
    return buf;
}

using Reply = std::function<void(int err, const std::string &msg, WireReader &body)>;

struct Conn {
    int fd = -1;
    uint32_t id = 0;
    int kind = -1;
    std::string name;
    uint32_t daemon_id = 0;
    std::string in, out;
    bool dead = false;
    // CDB data sockets
    int db = 0;
    bool session = false;
    int lock_flags = 0;
    // subscription sockets
    bool subs_done = false;
    bool notified = false;  // waiting for this socket's sync
    // CLI sockets
    int usid = 0;
    // server -> daemon requests awaiting replies, in order
    std::deque<Reply> waiters;
};

struct Sub {
    int id;
    uint32_t conn;
    int type;  // cdb_sub_type
    int prio;
    uint32_t ns;
    std::string path;
    const lysc_node *schema;
};

struct ActionPoint {
    std::string name;
    bool init = false, action = false, command = false;
};

struct Daemon {
    uint32_t id = 0;
    std::string name;
    uint32_t ctl = 0;
    std::vector<uint32_t> workers;
    bool trans_init = false;
    bool done = false;
    std::vector<std::string> callpoints, valpoints, streams;
    std::vector<std::pair<std::string, std::string>> snmp;
    std::vector<ActionPoint> actions;
};

// One notification round over subscribers: a commit (optionally two-phase), a
// trigger or an operational change.
struct Delivery {
    enum Kind { kCommit, kTrigger, kOper } kind = kCommit;
    enum Stage { kPrepare, kCommitStage, kAbort, kDone } stage = kCommitStage;
    std::map<int, std::string> blobs;  // subscription id -> encoded change set
    std::set<int> subs;                // subscriptions to notify
    int flags = 0;
    lyd_node *new_tree = nullptr;  // commit: becomes running
    lyd_node *old_tree = nullptr;  // commit: the pre-commit running view
    std::vector<int> prios;
    size_t prio_idx = 0;
    std::set<uint32_t> waiting, done_sockets, prepared;
    bool aborted = false;
    std::string abort_msg;
    std::function<void(int err, const std::string &msg)> finished;
    // A catch-up trigger: per base tree, the subscriptions told the changes from it to the running
    // datastore as it is when the delivery starts.
    std::vector<std::pair<lyd_node *, std::set<int>>> since;
    ~Delivery()
    {
        lyd_free_all(new_tree);
        lyd_free_all(old_tree);
        for (auto &b : since)
            lyd_free_all(b.first);
    }
};

class Server
{
public:
    Schema schema;
    std::string state_dir;
    int phase = 0;

    ~Server()
    {
        // Data trees go before the schema context they refer to.
        cur_.reset();
        queue_.clear();
        lyd_free_all(running_);
        lyd_free_all(oper_);
    }
    cdbsim::History history;
    int listen_on(int port);
    bool load_running(std::string *err);
    bool open_history(std::string *err) { return history.open(state_dir, running_, err); }
    void run();

private:
    // connection plumbing
    void accept_conn();
    void on_read(Conn &c);
    void on_frame(Conn &c, uint32_t op, const std::string &payload);
    void close_conn(Conn &c);
    void send(Conn &c, uint32_t op, WireWriter &w);
    void reply(Conn &c, int err, const std::string &msg, WireWriter *body = nullptr);
    void request(Conn &c, uint32_t op, WireWriter &w, Reply cb);
    Conn *conn(uint32_t id);

    // datastores
    lyd_node *tree_for(Conn &c);
    void handle_cdb(Conn &c, uint32_t op, WireReader &r);
    bool find_node(lyd_node *tree, const ResolvedPath &rp, lyd_node **out);
    void oper_write(Conn &c, uint32_t op, WireReader &r);
    bool persist(std::string *err);

    // subscriptions and deliveries
    void handle_sub(Conn &c, uint32_t op, WireReader &r);
    void enqueue(std::unique_ptr<Delivery> d);
    void start_next();
    void start_stage();
    void apply_commit();
    bool in_stage(const Sub &s);
    void next_priority();
    void finish_delivery(int err, const std::string &msg);
    void conn_done(uint32_t cid);
    void trigger_since(Conn &c, WireReader &r);
    void fill_since(Delivery &d);
    std::unique_ptr<Delivery> make_delivery(Delivery::Kind kind, const lyd_node *old_tree, const lyd_node *new_tree,
                                            const std::set<int> *only, bool all_listed);
    void commit(lyd_node *new_tree, std::function<void(int, const std::string &)> done);

    // daemons
    void handle_daemon(Conn &c, uint32_t op, WireReader &r);
    Daemon *daemon_by_callpoint(const std::string &cp);
    Daemon *daemon_by_actionpoint(const std::string &ap, ActionPoint **out);
    void with_worker(Daemon &d, uint32_t usid, bool action, const std::string &ap, uint32_t th,
                     std::function<void(Conn *worker, int err, const std::string &msg)> next);

    // operator CLI
    void handle_cli(Conn &c, uint32_t op, const std::string &payload);
    void cli_done(uint32_t cid, int err, const std::string &text);
    void cli_show(Conn &c, const std::string &cp, const std::vector<std::string> &keys, uint8_t flags);
    void cli_request(Conn &c, const std::string &ap, const std::vector<std::string> &args);
    std::string status_json();

    int listen_fd_ = -1;
    uint32_t next_conn_ = 1, next_daemon_ = 1;
    int next_sub_ = 1, next_usid_ = 1;
    uint32_t next_th_ = 1;
    std::map<uint32_t, std::unique_ptr<Conn>> conns_;
    std::map<int, Sub> subs_;
    std::map<uint32_t, Daemon> daemons_;
    lyd_node *running_ = nullptr;
    lyd_node *oper_ = nullptr;
    std::unique_ptr<Delivery> cur_;
    std::deque<std::unique_ptr<Delivery>> queue_;
    std::vector<uint32_t> wait_start_;
    std::deque<std::function<void()>> idle_jobs_;  // configuration changes waiting for the current delivery
    std::vector<std::string> notifs_, traps_;
};

Conn *Server::conn(uint32_t id)
{
    auto it = conns_.find(id);
    return it == conns_.end() || it->second->dead ? nullptr : it->second.get();
}

int Server::listen_on(int port)
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd_, 64) != 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

bool Server::load_running(std::string *err)
{
    std::string file = state_dir + "/running.json";
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        return true;
    lyd_node *tree = nullptr;
    if (lyd_parse_data_path(schema.ctx(), file.c_str(), LYD_JSON, LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                            LYD_VALIDATE_NO_STATE, &tree) != LY_SUCCESS) {
        const char *m = ly_errmsg(schema.ctx());
        *err = "cannot load " + file + ": " + (m ? m : "unknown error");
        return false;
    }
    running_ = tree;
    return true;
}

bool Server::persist(std::string *err)
{
    if (state_dir.empty())
        return true;
    std::string tmp = state_dir + "/running.json.tmp", file = state_dir + "/running.json";
    char *text = nullptr;
    if (running_)
        lyd_print_mem(&text, running_, LYD_JSON, LYD_PRINT_WITHSIBLINGS);
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) {
        free(text);
        *err = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    fputs(text ? text : "{}", f);
    free(text);
    bool ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), file.c_str()) != 0) {
        *err = "cannot save the running datastore: " + std::string(strerror(errno));
        return false;
    }
    return true;
}

void Server::send(Conn &c, uint32_t op, WireWriter &w)
{
    if (c.dead)
        return;
    c.out += w.frame(op);
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // the poll loop flushes the rest
    }
}

void Server::reply(Conn &c, int err, const std::string &msg, WireWriter *body)
{
    WireWriter w;
    w.i32(err);
    w.str(msg);
    if (body)
        w.data() += body->data();
    send(c, cdbwire::kOpReply, w);
}

void Server::request(Conn &c, uint32_t op, WireWriter &w, Reply cb)
{
    c.waiters.push_back(std::move(cb));
    send(c, op, w);
}

void Server::accept_conn()
{
    for (;;) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->id = next_conn_++;
        conns_[c->id] = std::move(c);
    }
}

void Server::on_read(Conn &c)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0 && errno == EINTR)
            continue;
        close_conn(c);
        return;
    }
    while (!c.dead && c.in.size() >= 8) {
        WireReader h(c.in.data(), 8);
        uint32_t len = h.u32(), op = h.u32();
        if (len > cdbwire::kMaxFrame) {
            close_conn(c);
            return;
        }
        if (c.in.size() < 8 + len)
            break;
        std::string payload = c.in.substr(8, len);
        c.in.erase(0, 8 + len);
        on_frame(c, op, payload);
    }
}

void Server::close_conn(Conn &c)
{
    if (c.dead)
        return;
    c.dead = true;
    close(c.fd);
    logf("connection %u (%s) closed", c.id, c.name.c_str());
    std::deque<Reply> waiters;
    waiters.swap(c.waiters);
    for (auto &w : waiters) {
        WireReader empty(nullptr, 0);
        w(CONFD_ERR_OS, "the daemon closed its connection", empty);
    }
    for (auto it = subs_.begin(); it != subs_.end();)
        it = it->second.conn == c.id ? subs_.erase(it) : std::next(it);
    for (auto it = daemons_.begin(); it != daemons_.end();) {
        auto &d = it->second;
        d.workers.erase(std::remove(d.workers.begin(), d.workers.end(), c.id), d.workers.end());
        it = d.ctl == c.id ? daemons_.erase(it) : std::next(it);
    }
    conn_done(c.id);
}

void Server::on_frame(Conn &c, uint32_t op, const std::string &payload)
{
    WireReader r(payload);
    if (op == cdbwire::kOpHello) {
        c.kind = r.u8();
        c.name = r.str();
        uint32_t did = r.u32();
        if (!r.ok()) {
            close_conn(c);
            return;
        }
        if (c.kind == cdbwire::kConnControl) {
            Daemon d;
            d.id = next_daemon_++;
            d.name = c.name;
            d.ctl = c.id;
            c.daemon_id = d.id;
            daemons_[d.id] = d;
        } else if (c.kind == cdbwire::kConnWorker) {
            auto it = daemons_.find(did);
            if (it == daemons_.end()) {
                reply(c, CONFD_ERR_PROTOUSAGE, "unknown daemon");
                return;
            }
            it->second.workers.push_back(c.id);
            c.daemon_id = did;
        } else if (c.kind == cdbwire::kConnCli) {
            c.usid = next_usid_++;
        }
        WireWriter w;
        w.u32(c.id);
        w.u32(c.daemon_id);
        reply(c, 0, "", &w);
        return;
    }
    if (op == cdbwire::kOpReply) {
        if (c.waiters.empty())
            return;
        Reply cb = std::move(c.waiters.front());
        c.waiters.pop_front();
        int err = r.i32();
        std::string msg = r.str();
        if (!r.ok())
            err = CONFD_ERR_PROTOUSAGE, msg = "malformed reply";
        cb(err, msg, r);
        return;
    }
    switch (c.kind) {
    case cdbwire::kConnCdbData:
    case cdbwire::kConnCdbRead:
        handle_cdb(c, op, r);
        break;
    case cdbwire::kConnCdbSub:
        if (op == cdbwire::kOpGetPhase || op == cdbwire::kOpWaitStart)
            handle_cdb(c, op, r);
        else
            handle_sub(c, op, r);
        break;
    case cdbwire::kConnControl:
    case cdbwire::kConnWorker:
    case cdbwire::kConnMaapi:
        handle_daemon(c, op, r);
        break;
    case cdbwire::kConnSchema: {
        WireWriter w;
        schema.write_blob(w);
        reply(c, 0, "", &w);
        break;
    }
    case cdbwire::kConnCli:
        handle_cli(c, op, payload);
        break;
    default:
        reply(c, CONFD_ERR_PROTOUSAGE, "hello expected");
    }
}

lyd_node *Server::tree_for(Conn &c)
{
    if (c.db == CDB_OPERATIONAL)
        return oper_;
    if (c.db == CDB_PRE_COMMIT_RUNNING && cur_ && cur_->kind == Delivery::kCommit &&
        cur_->stage == Delivery::kCommitStage)
        return cur_->old_tree;
    return running_;
}

// libyang accepts some truncated documents; a bracket balance check catches them.
bool json_balanced(const std::string &s)
{
    std::string stack;
    bool in_str = false;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (in_str) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_str = false;
            continue;
        }
        if (c == '"')
            in_str = true;
        else if (c == '{' || c == '[')
            stack.push_back(c);
        else if (c == '}' || c == ']') {
            if (stack.empty() || stack.back() != (c == '}' ? '{' : '['))
                return false;
            stack.pop_back();
        }
    }
    return !in_str && stack.empty();
}

// The libyang path of the element above the last one of rp.
std::string parent_lypath(const ResolvedPath &rp)
{
    const lysc_node *s = rp.schema();
    return rp.lypath.substr(0, rp.lypath.rfind("/" + std::string(s->module->name) + ":" + s->name));
}

bool Server::find_node(lyd_node *tree, const ResolvedPath &rp, lyd_node **out)
{
    *out = nullptr;
    if (!tree || !rp.keys_complete)
        return false;
    return lyd_find_path(tree, rp.lypath.c_str(), 0, out) == LY_SUCCESS && *out;
}

void Server::handle_cdb(Conn &c, uint32_t op, WireReader &r)
{
    switch (op) {
    case cdbwire::kOpGetPhase: {
        WireWriter w;
        w.i32(phase);
        w.i32(0);
        reply(c, 0, "", &w);
        return;
    }
    case cdbwire::kOpWaitStart:
        if (phase >= 1)
            reply(c, 0, "");
        else
            wait_start_.push_back(c.id);
        return;
    case cdbwire::kOpStartSession: {
        int db = static_cast<int>(r.u32());
        int flags = static_cast<int>(r.u32());
        if (c.session)
            return reply(c, CONFD_ERR_BADSTATE, "a session is already open");
        if (db < CDB_RUNNING || db > CDB_PRE_COMMIT_RUNNING || db == CDB_STARTUP)
            return reply(c, CONFD_ERR_NOEXISTS, "no such datastore");
        c.db = db;
        c.lock_flags = flags;
        c.session = true;
        return reply(c, 0, "");
    }
    case cdbwire::kOpEndSession:
        c.session = false;
        return reply(c, 0, "");
    case cdbwire::kOpGetTxid: {
        WireWriter w;
        w.u32(history.current().s1);
        w.u32(history.current().s2);
        w.u32(history.current().s3);
        w.str(history.current().primary);
        reply(c, 0, "", &w);
        return;
    }
    case cdbwire::kOpTriggerSince:
        return trigger_since(c, r);
    case cdbwire::kOpTrigger: {
        bool oper = r.u8() != 0;
        r.u32();
        uint32_t n = r.u32();
        std::set<int> ids;
        for (uint32_t i = 0; i < n && r.ok(); i++)
            ids.insert(r.i32());
        if (!r.ok())
            return reply(c, CONFD_ERR_PROTOUSAGE, "malformed trigger");
        for (int id : ids) {
            auto it = subs_.find(id);
            if (it == subs_.end() || (it->second.type == CDB_SUB_OPERATIONAL) != oper)
                return reply(c, CONFD_ERR_NOEXISTS, "no such subscription " + std::to_string(id));
        }
        std::unique_ptr<Delivery> d;
        if (oper || ids.empty()) {
            d = make_delivery(oper ? Delivery::kOper : Delivery::kTrigger, nullptr, oper ? oper_ : running_,
                              ids.empty() ? nullptr : &ids, true);
        } else {
            // The configuration as it is when the round starts, after any commit queued before it.
            d = std::make_unique<Delivery>();
            d->kind = Delivery::kTrigger;
            d->since.emplace_back(nullptr, ids);
        }
        d->flags = CDB_SUB_FLAG_TRIGGER;
        uint32_t cid = c.id;
        d->finished = [this, cid](int err, const std::string &msg) {
            if (Conn *cc = conn(cid))
                reply(*cc, err, msg);
        };
        enqueue(std::move(d));
        return;
    }
    default:
        break;
    }
    if (!c.session)
        return reply(c, CONFD_ERR_NOSESSION, "no session started");
    if (op == cdbwire::kOpSetElem || op == cdbwire::kOpSetElem2 || op == cdbwire::kOpCreate || op == cdbwire::kOpDelete)
        return oper_write(c, op, r);
    std::string path = r.str(), err;
    ResolvedPath rp;
    if (!r.ok())
        return reply(c, CONFD_ERR_PROTOUSAGE, "malformed request");
    if (!schema.resolve(path, &rp, &err))
        return reply(c, CONFD_ERR_BADPATH, err);
    lyd_node *tree = tree_for(c);
    lyd_node *node = nullptr;
    switch (op) {
    case cdbwire::kOpExists: {
        WireWriter w;
        w.u8(find_node(tree, rp, &node) ? 1 : 0);
        return reply(c, 0, "", &w);
    }
    case cdbwire::kOpNumInstances: {
        const lysc_node *s = rp.schema();
        if (s->nodetype != LYS_LIST && s->nodetype != LYS_LEAFLIST)
            return reply(c, CONFD_ERR_BADPATH, path + " is not a list");
        lyd_node *first = tree;
        if (rp.elems.size() > 1) {
            ResolvedPath parent = rp;
            parent.elems.pop_back();
            parent.lypath = parent_lypath(rp);
            parent.keys_complete = true;
            for (auto &e : parent.elems)
                parent.keys_complete &= e.schema->nodetype != LYS_LIST || !e.keys.empty();
            lyd_node *p = nullptr;
            first = find_node(tree, parent, &p) ? lyd_child(p) : nullptr;
        }
        int n = 0;
        for (lyd_node *x = first; x; x = x->next)
            n += x->schema == s;
        WireWriter w;
        w.i32(n);
        return reply(c, 0, "", &w);
    }
    case cdbwire::kOpGet: {
        const lysc_node *s = rp.schema();
        if (!(s->nodetype & (LYS_LEAF | LYS_LEAFLIST)))
            return reply(c, CONFD_ERR_BADPATH, path + " is not a leaf");
        OwnedValue v;
        if (s->nodetype == LYS_LEAFLIST) {
            std::vector<lyd_node *> items;
            ResolvedPath parent = rp;
            lyd_node *p = nullptr;
            parent.lypath = parent_lypath(rp);
            lyd_node *first = rp.elems.size() > 1 ? (find_node(tree, parent, &p) ? lyd_child(p) : nullptr) : tree;
            for (lyd_node *x = first; x; x = x->next)
                if (x->schema == s)
                    items.push_back(x);
            if (items.empty())
                return reply(c, CONFD_ERR_NOEXISTS, path + " does not exist");
            auto *vals = static_cast<confd_value_t *>(calloc(items.size(), sizeof(confd_value_t)));
            for (size_t i = 0; i < items.size(); i++)
                schema.value_of(items[i], &vals[i]);
            CONFD_SET_LIST(&v.v, vals, static_cast<unsigned>(items.size()));
        } else {
            if (!find_node(tree, rp, &node))
                return reply(c, CONFD_ERR_NOEXISTS, path + " does not exist");
            schema.value_of(node, &v.v);
        }
        WireWriter w;
        w.value(v.v);
        return reply(c, 0, "", &w);
    }
    default:
        return reply(c, CONFD_ERR_PROTOUSAGE, "unknown request");
    }
}

void Server::trigger_since(Conn &c, WireReader &r)
{
    std::map<std::tuple<unsigned, unsigned, unsigned>, std::set<int>> by_base;
    uint32_t n = r.u32();
    for (uint32_t i = 0; i < n && r.ok(); i++) {
        int id = r.i32();
        unsigned s1 = r.u32(), s2 = r.u32(), s3 = r.u32();
        by_base[{s1, s2, s3}].insert(id);
    }
    if (!r.ok())
        return reply(c, CONFD_ERR_PROTOUSAGE, "malformed trigger");
    auto d = std::make_unique<Delivery>();
    d->kind = Delivery::kTrigger;
    d->flags = CDB_SUB_FLAG_TRIGGER;
    for (auto &[base, ids] : by_base) {
        for (int id : ids) {
            auto it = subs_.find(id);
            if (it == subs_.end() || it->second.type == CDB_SUB_OPERATIONAL)
                return reply(c, CONFD_ERR_NOEXISTS, "no such subscription " + std::to_string(id));
        }
        cdb_txid t{};
        std::tie(t.s1, t.s2, t.s3) = base;
        lyd_node *tree = nullptr;
        if (!history.tree_at(t, schema.ctx(), &tree))
            return reply(c, CONFD_ERR_NOEXISTS,
                         "transaction " + std::to_string(t.s1) + "." + std::to_string(t.s3) + " is no longer kept");
        d->since.emplace_back(tree, ids);
    }
    uint32_t cid = c.id;
    d->finished = [this, cid](int err, const std::string &msg) {
        if (Conn *cc = conn(cid))
            reply(*cc, err, msg);
    };
    enqueue(std::move(d));
}

// The change sets of a catch-up, from each base to running as it is now.
void Server::fill_since(Delivery &d)
{
    for (auto &[base, ids] : d.since) {
        for (int id : ids) {
            auto it = subs_.find(id);
            Conn *c = it == subs_.end() ? nullptr : conn(it->second.conn);
            if (!c || !c->subs_done)
                continue;
            uint32_t n = 0;
            d.blobs[id] = encode_changes(schema, base, running_, it->second.schema, &n);
            d.subs.insert(id);
        }
    }
}

void Server::oper_write(Conn &c, uint32_t op, WireReader &r)
{
    std::string path = r.str(), err, text;
    OwnedValue v;
    if (op == cdbwire::kOpSetElem)
        r.value(&v.v);
    if (op == cdbwire::kOpSetElem2)
        text = r.str();
    if (!r.ok())
        return reply(c, CONFD_ERR_PROTOUSAGE, "malformed request");
    if (c.db != CDB_OPERATIONAL)
        return reply(c, CONFD_ERR_NOT_WRITABLE, "only the operational datastore is writable through CDB sessions");
    ResolvedPath rp;
    if (!schema.resolve(path, &rp, &err))
        return reply(c, CONFD_ERR_BADPATH, err);
    if (!rp.keys_complete)
        return reply(c, CONFD_ERR_BADPATH, "keys missing in " + path);
    const lysc_node *s = rp.schema();
    lyd_node *before = nullptr;
    if (oper_)
        lyd_dup_siblings(oper_, nullptr, LYD_DUP_RECURSIVE, &before);
    lyd_node *node = nullptr;
    bool exists = find_node(oper_, rp, &node);
    int rc = 0;
    std::string msg;
    if (op == cdbwire::kOpDelete) {
        if (!exists) {
            rc = CONFD_ERR_NOEXISTS, msg = path + " does not exist";
        } else {
            if (node == oper_)
                oper_ = oper_->next;
            lyd_free_tree(node);
        }
    } else if (op == cdbwire::kOpCreate) {
        if (exists)
            rc = CONFD_ERR_ALREADY_EXISTS, msg = path + " already exists";
        else if (s->nodetype & (LYS_LEAF | LYS_LEAFLIST) && leaf_type(s)->basetype != LY_TYPE_EMPTY)
            rc = CONFD_ERR_NOTCREATABLE, msg = path + " is a leaf with a value";
    } else {
        if (!(s->nodetype & (LYS_LEAF | LYS_LEAFLIST)))
            rc = CONFD_ERR_BADPATH, msg = path + " is not a leaf";
        else if (op == cdbwire::kOpSetElem)
            text = schema.string_of(s, v.v);
    }
    if (rc == 0 && op != cdbwire::kOpDelete) {
        lyd_node *created = nullptr;
        LY_ERR e = lyd_new_path(nullptr, schema.ctx(), rp.lypath.c_str(),
                                op == cdbwire::kOpCreate ? nullptr : text.c_str(), 0, &created);
        if (e != LY_SUCCESS) {
            const char *m = ly_errmsg(schema.ctx());
            rc = CONFD_ERR_BADTYPE, msg = m ? m : "cannot write the value";
        } else if (lyd_merge_siblings(&oper_, created, LYD_MERGE_DESTRUCT) != LY_SUCCESS) {
            rc = CONFD_ERR_INTERNAL, msg = "cannot store the value";
        }
    }
    if (rc) {
        lyd_free_all(before);
        return reply(c, rc, msg);
    }
    reply(c, 0, "");
    auto d = make_delivery(Delivery::kOper, before, oper_, nullptr, false);
    lyd_free_all(before);
    if (!d->subs.empty())
        enqueue(std::move(d));
}

std::unique_ptr<Delivery> Server::make_delivery(Delivery::Kind kind, const lyd_node *old_tree, const lyd_node *new_tree,
                                                const std::set<int> *only, bool all_listed)
{
    auto d = std::make_unique<Delivery>();
    d->kind = kind;
    for (auto &[id, s] : subs_) {
        bool oper = s.type == CDB_SUB_OPERATIONAL;
        if (oper != (kind == Delivery::kOper))
            continue;
        if (only && !only->count(id))
            continue;
        Conn *c = conn(s.conn);
        if (!c || !c->subs_done)
            continue;
        uint32_t n = 0;
        d->blobs[id] = encode_changes(schema, old_tree, new_tree, s.schema, &n);
        if (n > 0 || all_listed)
            d->subs.insert(id);
    }
    return d;
}

void Server::enqueue(std::unique_ptr<Delivery> d)
{
    queue_.push_back(std::move(d));
    if (!cur_)
        start_next();
}

void Server::start_next()
{
    while (!cur_ && !queue_.empty()) {
        cur_ = std::move(queue_.front());
        queue_.pop_front();
        if (!cur_->since.empty())
            fill_since(*cur_);
        bool two_phase = false;
        for (int id : cur_->subs)
            two_phase |= subs_.count(id) && subs_[id].type == CDB_SUB_RUNNING_TWOPHASE;
        cur_->stage = (cur_->kind == Delivery::kCommit && two_phase) ? Delivery::kPrepare : Delivery::kCommitStage;
        if (cur_->kind == Delivery::kCommit && cur_->stage == Delivery::kCommitStage) {
            apply_commit();
        }
        start_stage();
    }
    while (!cur_ && queue_.empty() && !idle_jobs_.empty()) {
        auto job = std::move(idle_jobs_.front());
        idle_jobs_.pop_front();
        job();
    }
}

// Running becomes the new tree; the old one is the pre-commit view until the delivery ends.
void Server::apply_commit()
{
    std::string err;
    std::swap(running_, cur_->new_tree);
    cur_->old_tree = cur_->new_tree;
    cur_->new_tree = nullptr;
    if (!persist(&err) || !history.record(running_, &err))
        logf("%s", err.c_str());
}

// Whether a subscription takes part in the current stage of the delivery.
bool Server::in_stage(const Sub &s)
{
    if (cur_->stage == Delivery::kPrepare)
        return s.type == CDB_SUB_RUNNING_TWOPHASE;
    if (cur_->stage == Delivery::kAbort)
        return cur_->prepared.count(s.conn) > 0;
    return true;
}

void Server::start_stage()
{
    std::set<int> prios;
    for (int id : cur_->subs) {
        auto it = subs_.find(id);
        if (it != subs_.end() && in_stage(it->second))
            prios.insert(it->second.prio);
    }
    cur_->prios.assign(prios.begin(), prios.end());
    cur_->prio_idx = 0;
    cur_->done_sockets.clear();
    next_priority();
}

void Server::next_priority()
{
    while (cur_ && cur_->waiting.empty()) {
        if (cur_->prio_idx >= cur_->prios.size()) {
            // stage complete
            if (cur_->stage == Delivery::kPrepare) {
                if (cur_->aborted) {
                    cur_->stage = Delivery::kAbort;
                    start_stage();
                    return;
                }
                cur_->stage = Delivery::kCommitStage;
                apply_commit();
                start_stage();
                return;
            }
            if (cur_->stage == Delivery::kAbort)
                return finish_delivery(CONFD_ERR_EXTERNAL, cur_->abort_msg);
            return finish_delivery(0, "");
        }
        int prio = cur_->prios[cur_->prio_idx++];
        std::map<uint32_t, std::vector<int>> by_conn;
        for (int id : cur_->subs) {
            auto it = subs_.find(id);
            if (it == subs_.end() || it->second.prio != prio || !in_stage(it->second))
                continue;
            if (cur_->done_sockets.count(it->second.conn))
                continue;
            by_conn[it->second.conn].push_back(id);
        }
        int type = cur_->kind == Delivery::kOper       ? CDB_SUB_OPER
                   : cur_->stage == Delivery::kPrepare ? CDB_SUB_PREPARE
                   : cur_->stage == Delivery::kAbort   ? CDB_SUB_ABORT
                                                       : CDB_SUB_COMMIT;
        for (auto &[cid, ids] : by_conn) {
            Conn *c = conn(cid);
            if (!c)
                continue;
            bool last = true;
            for (size_t k = cur_->prio_idx; k < cur_->prios.size(); k++)
                for (int id : cur_->subs)
                    if (subs_.count(id) && subs_[id].conn == cid && subs_[id].prio == cur_->prios[k])
                        last = false;
            WireWriter w;
            w.u32(static_cast<uint32_t>(type));
            w.u32(static_cast<uint32_t>(cur_->flags | (last ? CDB_SUB_FLAG_IS_LAST : 0)));
            w.u32(static_cast<uint32_t>(ids.size()));
            for (int id : ids)
                w.i32(id);
            c->notified = true;
            cur_->waiting.insert(cid);
            if (cur_->stage == Delivery::kPrepare)
                cur_->prepared.insert(cid);
            logf("notify conn %u (%s) prio %d type %d with %zu ids", cid, c->name.c_str(), prio, type, ids.size());
            send(*c, cdbwire::kOpNotify, w);
        }
    }
}

void Server::finish_delivery(int err, const std::string &msg)
{
    std::unique_ptr<Delivery> d = std::move(cur_);
    if (d->finished)
        d->finished(err, msg);
    d.reset();
    start_next();
}

void Server::conn_done(uint32_t cid)
{
    if (!cur_ || !cur_->waiting.erase(cid))
        return;
    if (Conn *c = conn(cid))
        c->notified = false;
    next_priority();
}

void Server::commit(lyd_node *new_tree, std::function<void(int, const std::string &)> done)
{
    // Validation is against the running tree at the time the commit is queued; commits
    // are serialised, so a queued one is re-validated against the then-current tree by
    // being computed from it when it starts.
    auto d = make_delivery(Delivery::kCommit, running_, new_tree, nullptr, false);
    d->new_tree = new_tree;
    d->finished = std::move(done);
    enqueue(std::move(d));
}

void Server::handle_sub(Conn &c, uint32_t op, WireReader &r)
{
    switch (op) {
    case cdbwire::kOpSubscribe: {
        int type = static_cast<int>(r.u32());
        r.u32();
        int prio = r.i32();
        uint32_t ns = r.u32();
        std::string path = r.str(), err;
        if (!r.ok())
            return reply(c, CONFD_ERR_PROTOUSAGE, "malformed subscribe");
        if (c.subs_done)
            return reply(c, CONFD_ERR_BADSTATE, "cdb_subscribe_done already called on this socket");
        if (type < CDB_SUB_RUNNING || type > CDB_SUB_OPERATIONAL)
            return reply(c, CONFD_ERR_PROTOUSAGE, "bad subscription type");
        const lysc_node *s = schema.schema_of(path, &err);
        if (!s)
            return reply(c, CONFD_ERR_BADPATH, err);
        if (ns != 0 && schema.ns(s) != ns) {
            char m[256];
            snprintf(m, sizeof m, "namespace 0x%08x does not match %s (0x%08x)", ns, path.c_str(), schema.ns(s));
            return reply(c, CONFD_ERR_BADPATH, m);
        }
        Sub sub{next_sub_++, c.id, type, prio, schema.ns(s), path, s};
        subs_[sub.id] = sub;
        WireWriter w;
        w.i32(sub.id);
        return reply(c, 0, "", &w);
    }
    case cdbwire::kOpSubscribeDone:
        c.subs_done = true;
        return reply(c, 0, "");
    case cdbwire::kOpDiff: {
        int id = r.i32();
        if (!cur_ || !cur_->blobs.count(id) || !subs_.count(id) || subs_[id].conn != c.id)
            return reply(c, CONFD_ERR_BADSTATE, "no notification in progress for subscription " + std::to_string(id));
        WireWriter w;
        w.data() = cur_->blobs[id];
        return reply(c, 0, "", &w);
    }
    case cdbwire::kOpSync: {
        int type = static_cast<int>(r.u32());
        if (!c.notified)
            return reply(c, CONFD_ERR_BADSTATE, "no notification to sync");
        reply(c, 0, "");
        if (cur_ && (type == CDB_DONE_SOCKET || type == CDB_DONE_TRANSACTION))
            cur_->done_sockets.insert(c.id);
        return conn_done(c.id);
    }
    case cdbwire::kOpSubAbort: {
        r.u32();
        r.u32();
        r.u32();
        std::string msg = r.str();
        if (!c.notified || !cur_ || cur_->stage != Delivery::kPrepare)
            return reply(c, CONFD_ERR_BADSTATE, "abort is only possible on a prepare notification");
        cur_->aborted = true;
        if (cur_->abort_msg.empty())
            cur_->abort_msg = msg.empty() ? "aborted by subscriber " + c.name : msg;
        cur_->prepared.erase(c.id);  // the aborting subscriber is not sent an abort
        reply(c, 0, "");
        return conn_done(c.id);
    }
    default:
        return reply(c, CONFD_ERR_PROTOUSAGE, "unknown request on subscription socket");
    }
}

void Server::handle_daemon(Conn &c, uint32_t op, WireReader &r)
{
    Daemon *d = daemons_.count(c.daemon_id) ? &daemons_[c.daemon_id] : nullptr;
    switch (op) {
    case cdbwire::kOpRegDataCb:
    case cdbwire::kOpRegValpoint:
    case cdbwire::kOpRegStream: {
        std::string name = r.str();
        if (!d || !r.ok())
            return reply(c, CONFD_ERR_PROTOUSAGE, "registration on a non-control socket");
        if (op == cdbwire::kOpRegDataCb) {
            if (Daemon *o = daemon_by_callpoint(name); o && o != d)
                return reply(c, CONFD_ERR_ALREADY_EXISTS, "callpoint " + name + " is registered by " + o->name);
            d->callpoints.push_back(name);
        } else if (op == cdbwire::kOpRegValpoint) {
            d->valpoints.push_back(name);
        } else {
            d->streams.push_back(name);
        }
        return reply(c, 0, "");
    }
    case cdbwire::kOpRegActionCb: {
        ActionPoint ap;
        ap.name = r.str();
        ap.init = r.u8();
        ap.action = r.u8();
        ap.command = r.u8();
        if (!d || !r.ok())
            return reply(c, CONFD_ERR_PROTOUSAGE, "registration on a non-control socket");
        d->actions.push_back(ap);
        return reply(c, 0, "");
    }
    case cdbwire::kOpRegTransCb:
        if (!d)
            return reply(c, CONFD_ERR_PROTOUSAGE, "registration on a non-control socket");
        d->trans_init = r.u8();
        return reply(c, 0, "");
    case cdbwire::kOpRegSnmp: {
        std::string n = r.str(), ctx = r.str();
        if (!d)
            return reply(c, CONFD_ERR_PROTOUSAGE, "registration on a non-control socket");
        d->snmp.emplace_back(n, ctx);
        return reply(c, 0, "");
    }
    case cdbwire::kOpRegDone:
        if (!d)
            return reply(c, CONFD_ERR_PROTOUSAGE, "registration on a non-control socket");
        d->done = true;
        return reply(c, 0, "");
    case cdbwire::kOpNotifSend: {
        std::string stream = r.str();
        OwnedValue t;
        r.value(&t.v);
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        r.tagvalues(&tv, &n);
        if (!r.ok())
            return;  // never answered: a malformed notification is dropped
        char ts[96];
        confd_pp_value(ts, sizeof ts, &t.v);
        std::string name = "";
        std::string values;
        if (n >= 2 && tv[0].v.type == C_XMLBEGIN && tv[n - 1].v.type == C_XMLEND) {
            const lysc_node *sn = schema.child_by_tag(nullptr, tv[0].tag.tag);
            if (!sn)
                sn = schema.find_any_by_tag(tv[0].tag.tag);
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08x", tv[0].tag.tag);
            name = sn ? sn->name : hex;
            values = schema.render(sn, tv + 1, n - 2);
        } else {
            values = schema.render(nullptr, tv, n);
        }
        for (int i = 0; i < n; i++)
            confd_free_value(&tv[i].v);
        free(tv);
        notifs_.push_back("{\"time\":" + json_quote(ts) + ",\"stream\":" + json_quote(stream) +
                          ",\"notification\":" + json_quote(name) + ",\"values\":" + values + "}");
        return;
    }
    case cdbwire::kOpSnmpSend: {
        std::string notify = r.str(), ctx = r.str(), notification = r.str();
        uint32_t n = r.u32();
        std::string vb = "[";
        for (uint32_t i = 0; i < n && r.ok() && i < 4096; i++) {
            std::string name = r.str();
            OwnedValue v;
            r.value(&v.v);
            char buf[512];
            confd_pp_value(buf, sizeof buf, &v.v);
            vb += (i ? "," : "") + std::string("{\"name\":") + json_quote(name) + ",\"value\":" + json_quote(buf) + "}";
        }
        if (!r.ok())
            return;
        traps_.push_back("{\"time\":" + json_quote(now_text()) + ",\"notify_name\":" + json_quote(notify) +
                         ",\"context\":" + json_quote(ctx) + ",\"notification\":" + json_quote(notification) +
                         ",\"varbinds\":" + vb + "]}");
        return;
    }
    case cdbwire::kOpMaapiAttach:
    case cdbwire::kOpMaapiDetach:
    case cdbwire::kOpMaapiCrypto:
        return reply(c, 0, "");
    case cdbwire::kOpCliWrite: {
        int usid = static_cast<int>(r.u32());
        std::string text = r.str();
        for (auto &[id, cc] : conns_)
            if (!cc->dead && cc->kind == cdbwire::kConnCli && cc->usid == usid) {
                WireWriter w;
                w.str(text);
                send(*cc, cdbwire::kOpCliOutput, w);
                return reply(c, 0, "");
            }
        return reply(c, CONFD_ERR_NOEXISTS, "no user session " + std::to_string(usid));
    }
    default:
        return reply(c, CONFD_ERR_PROTOUSAGE, "unknown request");
    }
}

Daemon *Server::daemon_by_callpoint(const std::string &cp)
{
    for (auto &[id, d] : daemons_)
        for (auto &x : d.callpoints)
            if (x == cp)
                return &d;
    return nullptr;
}

Daemon *Server::daemon_by_actionpoint(const std::string &ap, ActionPoint **out)
{
    for (auto &[id, d] : daemons_)
        for (auto &x : d.actions)
            if (x.name == ap) {
                *out = &x;
                return &d;
            }
    return nullptr;
}

// Runs the daemon's transaction or action init on its control socket, which names the worker.
void Server::with_worker(Daemon &d, uint32_t usid, bool action, const std::string &ap, uint32_t th,
                         std::function<void(Conn *, int, const std::string &)> next)
{
    Conn *ctl = conn(d.ctl);
    uint32_t first_worker = d.workers.empty() ? 0 : d.workers.front();
    if (!ctl)
        return next(nullptr, CONFD_ERR_OS, "daemon " + d.name + " is gone");
    auto on_init = [this, first_worker, next](int err, const std::string &msg, WireReader &body) {
        if (err)
            return next(nullptr, err, msg);
        uint32_t wid = body.u32();
        Conn *w = conn(wid ? wid : first_worker);
        if (!w)
            return next(nullptr, CONFD_ERR_OS, "no worker socket");
        next(w, 0, "");
    };
    WireWriter w;
    if (action) {
        w.u32(usid);
        w.str("admin");
        w.str(ap);
        return request(*ctl, cdbwire::kOpActionInit, w, on_init);
    }
    if (!d.trans_init) {
        Conn *wk = conn(first_worker);
        return wk ? next(wk, 0, "") : next(nullptr, CONFD_ERR_OS, "no worker socket");
    }
    w.u32(th);
    w.u32(usid);
    w.str("admin");
    w.u32(CONFD_OPERATIONAL);
    request(*ctl, cdbwire::kOpTransInit, w, on_init);
}

void Server::cli_done(uint32_t cid, int err, const std::string &text)
{
    Conn *c = conn(cid);
    if (!c)
        return;
    WireWriter w;
    w.str(text);
    reply(*c, err, err ? text : "", &w);
}

// State of one "show" listing: iterate a callpoint's list through get_next_object /
// find_next_object (or one get_object when the entry's keys are given; with kCliShowFrom the
// listing starts at those keys, or the next entry after them, through FIND_SAME_OR_NEXT).
struct ShowJob {
    uint32_t cli = 0, th = 0;
    std::string cp;
    const lysc_node *list = nullptr;
    bool from = false, table = false;
    confd_hkeypath_t kp{};
    std::vector<std::string> objects;
    std::vector<std::vector<std::string>> rows;  // per entry, one text per leaf of the list (table output)
    std::vector<OwnedValue> own_keys;
    std::string last_keys;
    int guard = 0;
    ~ShowJob()
    {
        for (int i = 0; i < kp.len; i++)
            for (int k = 0; k < MAXKEYLEN && kp.v[i][k].type != C_NOEXISTS && kp.v[i][k].type != 0; k++)
                confd_free_value(&kp.v[i][k]);
    }
};

// The entries as a table: a header of the list's leaf names, then one line per entry ("-" for a
// value the daemon did not give).
std::string show_table(const std::vector<std::string> &cols, const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(cols.size());
    for (size_t i = 0; i < cols.size(); i++) {
        width[i] = cols[i].size();
        for (const auto &r : rows)
            width[i] = std::max(width[i], r[i].size());
    }
    std::string out;
    auto line = [&](const std::vector<std::string> &cells) {
        std::string l;
        for (size_t i = 0; i < cells.size(); i++)
            l += cells[i] + std::string(i + 1 < cells.size() ? width[i] - cells[i].size() + 2 : 0, ' ');
        out += l + "\n";
    };
    line(cols);
    for (const auto &r : rows)
        line(r);
    return out;
}

void Server::cli_show(Conn &c, const std::string &cp, const std::vector<std::string> &keys, uint8_t flags)
{
    const lysc_node *node = schema.find_by_ext("callpoint", cp);
    if (!node)
        return cli_done(c.id, CONFD_ERR_NOEXISTS, "Error: no list is served by callpoint " + cp);
    const lysc_node *list = node;
    while (list && list->nodetype != LYS_LIST) {
        const lysc_node *next = nullptr;
        for (auto *ch : schema.children(list))
            if (ch->nodetype & (LYS_LIST | LYS_CONTAINER)) {
                next = ch;
                break;
            }
        list = next;
    }
    if (!list)
        return cli_done(c.id, CONFD_ERR_NOEXISTS, "Error: callpoint " + cp + " has no list");
    Daemon *d = daemon_by_callpoint(cp);
    if (!d)
        return cli_done(c.id, CONFD_ERR_NOEXISTS, "Error: no daemon serves callpoint " + cp);
    auto job = std::make_shared<ShowJob>();
    job->cli = c.id;
    job->th = next_th_++;
    job->cp = cp;
    job->list = list;
    job->from = flags & cdbwire::kCliShowFrom;
    job->table = flags & cdbwire::kCliShowTable;
    // Keypath from the root to the list, consuming KEY arguments for the lists on the way.
    std::vector<const lysc_node *> chain;
    for (const lysc_node *n = list; n; n = n->parent)
        if (!(n->nodetype & (LYS_CHOICE | LYS_CASE)))
            chain.insert(chain.begin(), n);
    std::vector<std::vector<OwnedValue>> elems;  // outermost first; tag elements are empty
    std::vector<uint32_t> tags, nss;
    size_t ki = 0;
    for (auto *n : chain) {
        tags.push_back(schema.tag(n));
        nss.push_back(schema.ns(n));
        elems.emplace_back();
        if (n->nodetype == LYS_LIST) {
            auto ks = schema.keys(n);
            if (n == list) {
                if (keys.size() - ki == 0)
                    continue;
                if (keys.size() - ki != ks.size())
                    return cli_done(c.id, CONFD_ERR_BADPATH,
                                    "Error: " + std::string(n->name) + " needs " + std::to_string(ks.size()) + " keys");
            }
            if (keys.size() - ki < ks.size())
                return cli_done(c.id, CONFD_ERR_BADPATH, "Error: missing keys for " + std::string(n->name));
            std::vector<OwnedValue> kv;
            for (auto *k : ks) {
                OwnedValue v;
                std::string err;
                if (!schema.value_from_string(k, keys[ki++], &v.v, &err))
                    return cli_done(c.id, CONFD_ERR_BADTYPE, "Error: " + err);
                kv.push_back(v);
            }
            if (n == list)
                job->own_keys = kv;
            else
                elems.back() = kv;
        }
    }
    if (ki != keys.size())
        return cli_done(c.id, CONFD_ERR_BADPATH, "Error: too many keys");
    int len = 0;
    std::vector<std::pair<bool, size_t>> order;  // (is key element, index)
    for (size_t i = 0; i < chain.size(); i++) {
        order.emplace_back(false, i);
        if (!elems[i].empty())
            order.emplace_back(true, i);
    }
    len = static_cast<int>(order.size());
    if (len > MAXDEPTH)
        return cli_done(c.id, CONFD_ERR_BADPATH, "Error: path too deep");
    job->kp.len = len;
    for (int e = 0; e < len; e++) {
        auto [is_key, i] = order[static_cast<size_t>(e)];
        confd_value_t *slot = job->kp.v[len - 1 - e];
        if (!is_key) {
            CONFD_SET_XMLTAG(&slot[0], tags[i], nss[i]);
            slot[1].type = C_NOEXISTS;
        } else {
            size_t k = 0;
            for (; k < elems[i].size(); k++)
                confd_value_dup_to(&elems[i][k].v, &slot[k]);
            slot[k].type = C_NOEXISTS;
        }
    }
    uint32_t usid = static_cast<uint32_t>(c.usid);
    with_worker(*d, usid, false, cp, job->th, [this, job](Conn *worker, int err, const std::string &msg) {
        if (!worker)
            return cli_done(job->cli, err, "Error: " + msg);
        uint32_t wid = worker->id;
        auto finish = [this, job, wid](int e, const std::string &m) {
            if (Conn *w = conn(wid)) {
                WireWriter f;
                f.u32(job->th);
                request(*w, cdbwire::kOpTransFinish, f, [](int, const std::string &, WireReader &) {});
            }
            if (e)
                return cli_done(job->cli, e, "Error: " + m);
            if (job->table) {
                std::vector<std::string> cols;
                for (auto *leaf : schema.children(job->list))
                    if (leaf->nodetype == LYS_LEAF)
                        cols.push_back(leaf->name);
                return cli_done(job->cli, 0, show_table(cols, job->rows));
            }
            std::string out = "[";
            for (size_t i = 0; i < job->objects.size(); i++)
                out += (i ? ",\n " : "") + job->objects[i];
            cli_done(job->cli, 0, out + "]\n");
        };
        auto keys_of = [this, job](const confd_tag_value_t *tv, int n, std::vector<OwnedValue> *out) {
            for (auto *k : schema.keys(job->list)) {
                uint32_t t = schema.tag(k);
                for (int i = 0; i < n; i++)
                    if (tv[i].tag.tag == t && tv[i].v.type != C_XMLBEGIN) {
                        // As the database types keys (a name replied as C_STR goes back as C_BUF).
                        OwnedValue v;
                        std::string err;
                        if (!schema.value_from_string(k, schema.string_of(k, tv[i].v), &v.v, &err))
                            confd_value_dup_to(&tv[i].v, &v.v);
                        out->push_back(v);
                        break;
                    }
            }
        };
        auto keep = [this, job](const confd_tag_value_t *tv, int n) {
            job->objects.push_back(schema.render(job->list, tv, n));
            std::vector<std::string> row;
            for (auto *leaf : schema.children(job->list)) {
                if (leaf->nodetype != LYS_LEAF)
                    continue;
                row.emplace_back("-");
                for (int i = 0; i < n; i++)
                    if (tv[i].tag.tag == schema.tag(leaf) && tv[i].v.type != C_NOEXISTS)
                        row.back() = schema.string_of(leaf, tv[i].v);
            }
            job->rows.push_back(std::move(row));
        };
        using Step = std::function<void(uint8_t, long, const std::vector<OwnedValue> &)>;
        auto step = std::make_shared<Step>();
        std::weak_ptr<Step> weak = step;
        *step = [this, job, wid, finish, keys_of, keep, weak](uint8_t kind, long next,
                                                              const std::vector<OwnedValue> &keys) {
            auto send_req = weak.lock();  // outstanding requests keep the chain alive, nothing else
            Conn *w = conn(wid);
            if (!w)
                return finish(CONFD_ERR_OS, "daemon went away");
            if (++job->guard > 100000)
                return finish(0, "");
            WireWriter q;
            q.u32(job->th);
            q.u8(kind);
            q.str(job->cp);
            confd_hkeypath_t kp = job->kp;
            if (kind == cdbwire::kDataGetObject) {
                if (kp.len >= MAXDEPTH)
                    return finish(CONFD_ERR_BADPATH, "path too deep");
                memmove(&kp.v[1], &kp.v[0], sizeof(kp.v[0]) * (MAXDEPTH - 1));
                size_t k = 0;
                for (; k < keys.size() && k + 1 < MAXKEYLEN; k++)
                    kp.v[0][k] = keys[k].v;
                kp.v[0][k].type = C_NOEXISTS;
                kp.len++;
            }
            q.hkeypath(kp);
            q.i64(next);
            // Only the first step of a listing that starts at given keys may land on them.
            const bool same = job->from && job->objects.empty() && kind == cdbwire::kDataFindNextObject;
            q.u32(same ? CONFD_FIND_SAME_OR_NEXT : CONFD_FIND_NEXT);
            q.u32(kind == cdbwire::kDataFindNextObject ? static_cast<uint32_t>(keys.size()) : 0);
            if (kind == cdbwire::kDataFindNextObject)
                for (auto &k : keys)
                    q.value(k.v);
            std::string keytext;
            for (auto &k : keys) {
                char b[256];
                confd_pp_value(b, sizeof b, &k.v);
                keytext += b;
                keytext.push_back('\0');
            }
            request(*w, cdbwire::kOpDataReq, q,
                    [this, job, finish, keys_of, keep, send_req, kind, keys, keytext](int err, const std::string &msg,
                                                                                      WireReader &b) {
                        if (err)
                            return finish(err, msg);
                        uint8_t rk = b.u8();
                        if (rk == cdbwire::kReplyNotFound)
                            return finish(0, "");
                        if (rk == cdbwire::kReplyTagValueArray) {
                            confd_tag_value_t *tv = nullptr;
                            int n = 0;
                            if (!b.tagvalues(&tv, &n))
                                return finish(CONFD_ERR_PROTOUSAGE, "malformed reply from daemon");
                            keep(tv, n);
                            for (int i = 0; i < n; i++)
                                confd_free_value(&tv[i].v);
                            free(tv);
                            if (!job->own_keys.empty() && !job->from)
                                return finish(0, "");
                            return (*send_req)(cdbwire::kDataFindNextObject, -1, keys);
                        }
                        if (rk == cdbwire::kReplyNextObject || rk == cdbwire::kReplyNextKey ||
                            rk == cdbwire::kReplyNextObjectValues) {
                            int n = b.i32();
                            if (n < 0)
                                return finish(0, "");
                            if (n > 4096)
                                return finish(CONFD_ERR_PROTOUSAGE, "malformed reply from daemon");
                            std::vector<confd_tag_value_t> tv(static_cast<size_t>(n));
                            std::vector<OwnedValue> vals(static_cast<size_t>(n));
                            for (int i = 0; i < n; i++) {
                                if (rk == cdbwire::kReplyNextObject)
                                    b.tagvalue(&tv[static_cast<size_t>(i)]);
                                else
                                    b.value(&vals[static_cast<size_t>(i)].v);
                            }
                            long next = static_cast<long>(b.i64());
                            if (!b.ok())
                                return finish(CONFD_ERR_PROTOUSAGE, "malformed reply from daemon");
                            std::vector<OwnedValue> nkeys;
                            if (rk == cdbwire::kReplyNextKey) {
                                nkeys = vals;
                                return (*send_req)(cdbwire::kDataGetObject, next, nkeys);
                            }
                            if (rk == cdbwire::kReplyNextObjectValues) {
                                auto kids = schema.children(job->list);
                                for (size_t i = 0; i < tv.size() && i < kids.size(); i++) {
                                    tv[i].tag.tag = schema.tag(kids[i]);
                                    confd_value_dup_to(&vals[i].v, &tv[i].v);
                                }
                            }
                            keys_of(tv.data(), n, &nkeys);
                            std::string nk;
                            for (auto &k : nkeys) {
                                char kb[256];
                                confd_pp_value(kb, sizeof kb, &k.v);
                                nk += kb;
                                nk.push_back('\0');
                            }
                            // The same keys again: the daemon cannot step past this entry (e.g. it
                            // answers with a cut name); end the listing without repeating it.
                            const bool again = next == -1 && !job->objects.empty() && nk == job->last_keys;
                            if (!again)
                                keep(tv.data(), n);
                            for (auto &t : tv)
                                confd_free_value(&t.v);
                            if (next == -1 && (nkeys.empty() || again))
                                return finish(0, "");
                            job->last_keys = nk;
                            if (next != -1)
                                return (*send_req)(cdbwire::kDataGetNextObject, next, {});
                            return (*send_req)(cdbwire::kDataFindNextObject, -1, nkeys);
                        }
                        (void)kind;
                        (void)keytext;
                        finish(CONFD_ERR_PROTOUSAGE, "unexpected reply from daemon");
                    });
        };
        if (job->from)
            (*step)(cdbwire::kDataFindNextObject, -1, job->own_keys);
        else if (!job->own_keys.empty())
            (*step)(cdbwire::kDataGetObject, -1, job->own_keys);
        else
            (*step)(cdbwire::kDataGetNextObject, -1, {});
    });
}

void Server::cli_request(Conn &c, const std::string &ap_name, const std::vector<std::string> &args)
{
    ActionPoint *ap = nullptr;
    Daemon *d = daemon_by_actionpoint(ap_name, &ap);
    if (!d)
        return cli_done(c.id, CONFD_ERR_NOEXISTS, "Error: no daemon serves action point " + ap_name);
    if (args.size() % 2)
        return cli_done(c.id, CONFD_ERR_BADPATH, "Error: parameters come as NAME VALUE pairs");
    const lysc_node *an = schema.find_by_ext("actionpoint", ap_name);
    bool command = ap->command && (!ap->action || !an);
    auto payload = std::make_shared<WireWriter>();
    payload->u32(static_cast<uint32_t>(c.usid));
    payload->str(ap_name);
    payload->u8(command ? 1 : 0);
    payload->u32(an ? schema.tag(an) : cdbwire::fnv1a_hash(ap_name));
    payload->u32(an ? schema.ns(an) : 0);
    confd_hkeypath_t kp{};
    payload->hkeypath(kp);
    if (command) {
        payload->u32(static_cast<uint32_t>(args.size() + 1));
        payload->str(ap_name);
        for (auto &a : args)
            payload->str(a);
    } else {
        std::vector<confd_tag_value_t> params;
        for (size_t i = 0; i < args.size(); i += 2) {
            confd_tag_value_t tv{};
            const lysc_node *pn = nullptr;
            if (an)
                for (const lysc_node *x = nullptr; (x = lys_getnext(x, an, nullptr, 0));)
                    if (args[i] == x->name)
                        pn = x;
            std::string err;
            if (pn) {
                tv.tag.tag = schema.tag(pn);
                tv.tag.ns = schema.ns(pn);
                if (!schema.value_from_string(pn, args[i + 1], &tv.v, &err)) {
                    for (auto &p : params)
                        confd_free_value(&p.v);
                    return cli_done(c.id, CONFD_ERR_BADTYPE, "Error: " + err);
                }
            } else if (an) {
                for (auto &p : params)
                    confd_free_value(&p.v);
                return cli_done(c.id, CONFD_ERR_BADPATH, "Error: unknown parameter " + args[i]);
            } else {
                tv.tag.tag = cdbwire::fnv1a_hash(args[i]);
                auto *p = static_cast<unsigned char *>(malloc(args[i + 1].size() + 1));
                memcpy(p, args[i + 1].c_str(), args[i + 1].size() + 1);
                CONFD_SET_BUF(&tv.v, p, args[i + 1].size());
            }
            params.push_back(tv);
        }
        payload->tagvalues(params.data(), static_cast<int>(params.size()));
        for (auto &p : params)
            confd_free_value(&p.v);
    }
    uint32_t cid = c.id;
    with_worker(*d, static_cast<uint32_t>(c.usid), true, ap_name, 0,
                [this, cid, payload, an](Conn *worker, int err, const std::string &msg) {
                    if (!worker)
                        return cli_done(cid, err, "Error: " + msg);
                    request(*worker, cdbwire::kOpActionReq, *payload,
                            [this, cid, an](int e, const std::string &m, WireReader &b) {
                                confd_tag_value_t *tv = nullptr;
                                int n = 0;
                                b.tagvalues(&tv, &n);
                                std::string out;
                                for (int i = 0; i < n; i++) {
                                    const lysc_node *sn = nullptr;
                                    if (an)
                                        for (const lysc_node *x = nullptr;
                                             (x = lys_getnext(x, an, nullptr, LYS_GETNEXT_OUTPUT));)
                                            if (schema.tag(x) == tv[i].tag.tag)
                                                sn = x;
                                    out += std::string(sn ? sn->name : confd_internal_name(tv[i].tag.tag)) + " " +
                                           schema.string_of(sn, tv[i].v) + "\n";
                                }
                                for (int i = 0; i < n; i++)
                                    confd_free_value(&tv[i].v);
                                free(tv);
                                if (e)
                                    return cli_done(cid, e, "Error: " + m);
                                cli_done(cid, 0, out);
                            });
                });
}

std::string Server::status_json()
{
    const cdb_txid &t = history.current();
    std::string o = "{\"phase\":" + std::to_string(phase) + ",\"txid\":\"" + std::to_string(t.s1) + "." +
                    std::to_string(t.s2) + "." + std::to_string(t.s3) +
                    "\",\"delivering\":" + (cur_ ? "true" : "false") + ",\"daemons\":[";
    std::map<std::string, std::vector<std::string>> subs_by_name;
    for (auto &[id, s] : subs_) {
        Conn *c = conn(s.conn);
        char ns[16];
        snprintf(ns, sizeof ns, "0x%08x", s.ns);
        const char *type = s.type == CDB_SUB_OPERATIONAL        ? "operational"
                           : s.type == CDB_SUB_RUNNING_TWOPHASE ? "two-phase"
                                                                : "running";
        subs_by_name[c ? c->name : "?"].push_back(
            "{\"id\":" + std::to_string(id) + ",\"path\":" + json_quote(s.path) + ",\"namespace\":" + json_quote(ns) +
            ",\"priority\":" + std::to_string(s.prio) + ",\"type\":" + json_quote(type) + "}");
    }
    std::set<std::string> names;
    for (auto &[id, d] : daemons_)
        names.insert(d.name);
    for (auto &[n, v] : subs_by_name)
        names.insert(n);
    auto list = [](const std::vector<std::string> &v, bool quote) {
        std::string s = "[";
        for (size_t i = 0; i < v.size(); i++)
            s += (i ? "," : "") + (quote ? json_quote(v[i]) : v[i]);
        return s + "]";
    };
    bool first = true;
    for (auto &name : names) {
        std::vector<std::string> cps, aps, streams, snmp;
        for (auto &[id, d] : daemons_) {
            if (d.name != name)
                continue;
            cps.insert(cps.end(), d.callpoints.begin(), d.callpoints.end());
            for (auto &a : d.actions)
                aps.push_back(a.name);
            streams.insert(streams.end(), d.streams.begin(), d.streams.end());
            for (auto &s : d.snmp)
                snmp.push_back(s.first);
        }
        o += (first ? "" : ",") + std::string("{\"name\":") + json_quote(name) +
             ",\"subscriptions\":" + list(subs_by_name[name], false) + ",\"callpoints\":" + list(cps, true) +
             ",\"actionpoints\":" + list(aps, true) + ",\"streams\":" + list(streams, true) +
             ",\"snmp_notifications\":" + list(snmp, true) + "}";
        first = false;
    }
    return o + "]}\n";
}

void Server::handle_cli(Conn &c, uint32_t op, const std::string &payload)
{
    uint32_t cid = c.id;
    WireReader r(payload);
    if ((op == cdbwire::kOpCliLoad || op == cdbwire::kOpCliDelete) && (cur_ || !queue_.empty())) {
        // Changes are computed against the running tree they will replace: wait for the delivery.
        idle_jobs_.push_back([this, cid, op, payload] {
            if (Conn *cc = conn(cid))
                handle_cli(*cc, op, payload);
        });
        return;
    }
    auto commit_reply = [this, cid](int err, const std::string &msg) {
        cli_done(cid, err, err ? "Aborted: " + msg : "commit complete\n");
    };
    auto require_phase2 = [&]() {
        if (phase >= 2)
            return true;
        cli_done(cid, CONFD_ERR_BADSTATE,
                 "Error: the database is in start phase " + std::to_string(phase) +
                     "; configuration changes need phase 2");
        return false;
    };
    switch (op) {
    case cdbwire::kOpCliLoad: {
        const uint8_t mode = r.u8();
        const bool replace = mode != cdbwire::kCliLoadMerge;
        std::string json = r.str();
        if (!r.ok() || mode > cdbwire::kCliLoadClear)
            return cli_done(cid, CONFD_ERR_PROTOUSAGE, "Error: malformed request");
        if (!require_phase2())
            return;
        if (!json_balanced(json))
            return cli_done(cid, CONFD_ERR_BADTYPE,
                            "Error: invalid configuration: malformed JSON (unbalanced brackets or quotes)");
        lyd_node *parsed = nullptr;
        if (lyd_parse_data_mem(schema.ctx(), json.c_str(), LYD_JSON,
                               LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0, &parsed) != LY_SUCCESS) {
            const char *m = ly_errmsg(schema.ctx());
            const char *p = ly_errpath(schema.ctx());
            return cli_done(cid, CONFD_ERR_BADTYPE,
                            std::string("Error: invalid configuration: ") + (m ? m : "parse error") +
                                (p ? std::string(" (") + p + ")" : ""));
        }
        if (mode == cdbwire::kCliLoadReplace && parsed == nullptr)
            return cli_done(cid, CONFD_ERR_BADTYPE,
                            "Error: the document holds no configuration; nothing replaced (to delete everything, "
                            "use 'replace --empty')");
        if (mode == cdbwire::kCliLoadClear && parsed != nullptr) {
            lyd_free_all(parsed);
            return cli_done(cid, CONFD_ERR_PROTOUSAGE, "Error: malformed request");
        }
        lyd_node *tree = nullptr;
        if (replace) {
            tree = parsed;
        } else {
            if (running_)
                lyd_dup_siblings(running_, nullptr, LYD_DUP_RECURSIVE, &tree);
            if (parsed && lyd_merge_siblings(&tree, parsed, LYD_MERGE_DESTRUCT) != LY_SUCCESS) {
                lyd_free_all(tree);
                return cli_done(cid, CONFD_ERR_BADTYPE, "Error: cannot merge the configuration");
            }
        }
        if (lyd_validate_all(&tree, schema.ctx(), LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS) {
            const char *m = ly_errmsg(schema.ctx());
            const char *p = ly_errpath(schema.ctx());
            lyd_free_all(tree);
            return cli_done(cid, CONFD_ERR_INCONSISTENT_VALUE,
                            std::string("Aborted: ") + (m ? m : "validation failed") +
                                (p ? std::string(" (") + p + ")" : ""));
        }
        return commit(tree, commit_reply);
    }
    case cdbwire::kOpCliDelete: {
        std::string path = r.str(), err;
        if (!require_phase2())
            return;
        ResolvedPath rp;
        if (!schema.resolve(path, &rp, &err))
            return cli_done(cid, CONFD_ERR_BADPATH, "Error: " + err);
        lyd_node *tree = nullptr, *node = nullptr;
        if (running_)
            lyd_dup_siblings(running_, nullptr, LYD_DUP_RECURSIVE, &tree);
        if (!find_node(tree, rp, &node) || (node->flags & LYD_DEFAULT)) {
            lyd_free_all(tree);
            return cli_done(cid, CONFD_ERR_NOEXISTS, "Error: " + path + " does not exist");
        }
        if (node == tree)
            tree = tree->next;
        lyd_free_tree(node);
        if (tree)
            tree = lyd_first_sibling(tree);
        if (lyd_validate_all(&tree, schema.ctx(), LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS) {
            const char *m = ly_errmsg(schema.ctx());
            lyd_free_all(tree);
            return cli_done(cid, CONFD_ERR_INCONSISTENT_VALUE,
                            std::string("Aborted: ") + (m ? m : "validation failed"));
        }
        return commit(tree, commit_reply);
    }
    case cdbwire::kOpCliShowConfig:
    case cdbwire::kOpCliShowOper: {
        lyd_node *tree = op == cdbwire::kOpCliShowOper ? oper_ : running_;
        std::string path = r.str(), err;
        char *text = nullptr;
        if (path.empty() || path == "/") {
            if (tree)
                lyd_print_mem(&text, tree, LYD_JSON, LYD_PRINT_WITHSIBLINGS);
        } else {
            ResolvedPath rp;
            lyd_node *node = nullptr;
            if (!schema.resolve(path, &rp, &err))
                return cli_done(cid, CONFD_ERR_BADPATH, "Error: " + err);
            if (!find_node(tree, rp, &node))
                return cli_done(cid, CONFD_ERR_NOEXISTS, "Error: " + path + " does not exist");
            lyd_print_mem(&text, node, LYD_JSON, 0);
        }
        std::string out = text && *text ? text : "{\n}\n";
        free(text);
        return cli_done(cid, 0, out);
    }
    case cdbwire::kOpCliShow: {
        std::string cp = r.str();
        uint32_t n = r.u32();
        std::vector<std::string> keys;
        for (uint32_t i = 0; i < n && r.ok() && i < 64; i++)
            keys.push_back(r.str());
        const uint8_t flags = r.at_end() ? 0 : r.u8();
        if (!r.ok())
            return cli_done(cid, CONFD_ERR_PROTOUSAGE, "Error: malformed request");
        return cli_show(c, cp, keys, flags);
    }
    case cdbwire::kOpCliRequest: {
        std::string ap = r.str();
        uint32_t n = r.u32();
        std::vector<std::string> args;
        for (uint32_t i = 0; i < n && r.ok() && i < 256; i++)
            args.push_back(r.str());
        if (!r.ok())
            return cli_done(cid, CONFD_ERR_PROTOUSAGE, "Error: malformed request");
        return cli_request(c, ap, args);
    }
    case cdbwire::kOpCliNotifs:
    case cdbwire::kOpCliTraps: {
        std::string out;
        for (auto &l : op == cdbwire::kOpCliNotifs ? notifs_ : traps_)
            out += l + "\n";
        return cli_done(cid, 0, out);
    }
    case cdbwire::kOpCliStatus:
        return cli_done(cid, 0, status_json());
    case cdbwire::kOpCliPhase: {
        int p = static_cast<int>(r.u32());
        if (p < phase || p > 2)
            return cli_done(cid, CONFD_ERR_BADSTATE, "Error: phase can only move forward to 1 or 2");
        phase = p;
        if (phase >= 1) {
            for (uint32_t id : wait_start_)
                if (Conn *w = conn(id))
                    reply(*w, 0, "");
            wait_start_.clear();
        }
        return cli_done(cid, 0, "phase " + std::to_string(phase) + "\n");
    }
    default:
        return cli_done(cid, CONFD_ERR_PROTOUSAGE, "Error: unknown command");
    }
}

void Server::run()
{
    std::vector<pollfd> pfds;
    std::vector<uint32_t> ids;
    while (!g_stop) {
        pfds.clear();
        ids.clear();
        pfds.push_back({listen_fd_, POLLIN, 0});
        ids.push_back(0);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->second->dead) {
                it = conns_.erase(it);
                continue;
            }
            short ev = POLLIN;
            if (!it->second->out.empty())
                ev |= POLLOUT;
            pfds.push_back({it->second->fd, ev, 0});
            ids.push_back(it->first);
            ++it;
        }
        int n = poll(pfds.data(), pfds.size(), 500);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (pfds[0].revents & POLLIN)
            accept_conn();
        for (size_t i = 1; i < pfds.size(); i++) {
            Conn *c = conn(ids[i]);
            if (!c)
                continue;
            if (pfds[i].revents & POLLOUT) {
                WireWriter none;
                while (!c->out.empty()) {
                    ssize_t k = ::send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
                    if (k <= 0) {
                        if (k < 0 && errno != EAGAIN && errno != EINTR)
                            close_conn(*c);
                        break;
                    }
                    c->out.erase(0, static_cast<size_t>(k));
                }
            }
            if (!c->dead && (pfds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                on_read(*c);
        }
    }
}

void on_signal(int) { g_stop = 1; }

void usage()
{
    fprintf(stderr,
            "usage: cdb-sim [--port N] [--yang-dir DIR[:DIR...]] [--state-dir DIR] [--phase 0|1|2] [--verbose]\n"
            "  port: CONFD_IPC_PORT or %d by default (0 picks a free port, printed on stdout)\n"
            "  yang-dir: %s by default\n"
            "  phase: 2 by default (configuration accepted at once); 0 or 1 to walk the start phases\n",
            CONFD_PORT, ZEL_CDB_YANG_DIR);
}

}  // namespace

const char *confd_internal_name(uint32_t tag)
{
    static thread_local char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", tag);
    return buf;
}

int main(int argc, char **argv)
{
    int port = CONFD_PORT;
    if (const char *e = getenv("CONFD_IPC_PORT"))
        port = atoi(e);
    std::string yang_dir = ZEL_CDB_YANG_DIR, state_dir = "/var/tmp/cdb-sim";
    // Started by hand it accepts configuration at once, as a database started without options does;
    // --phase 0 keeps the start-phase walk for tests of daemons that wait for it.
    int start_phase = 2;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--port")
            port = atoi(val().c_str());
        else if (a == "--yang-dir")
            yang_dir = val();
        else if (a == "--state-dir")
            state_dir = val();
        else if (a == "--phase")
            start_phase = atoi(val().c_str());
        else if (a == "--verbose" || a == "-v")
            g_verbose = true;
        else {
            usage();
            return 2;
        }
    }
    if (start_phase < 0 || start_phase > 2) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    Server srv;
    srv.phase = start_phase;
    srv.state_dir = state_dir;
    std::string err = srv.schema.load(yang_dir);
    if (!err.empty()) {
        fprintf(stderr, "cdb-sim: %s\n", err.c_str());
        return 1;
    }
    mkdir(state_dir.c_str(), 0755);
    if (!srv.load_running(&err) || !srv.open_history(&err)) {
        fprintf(stderr, "cdb-sim: %s\n", err.c_str());
        return 1;
    }
    int bound = srv.listen_on(port);
    if (bound < 0) {
        fprintf(stderr, "cdb-sim: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return 1;
    }
    printf("cdb-sim listening on 127.0.0.1:%d\n", bound);
    fflush(stdout);
    srv.run();
    return 0;
}
