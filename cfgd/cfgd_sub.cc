// The CDB subscription engine: registration, the initial read in turn with the
// other daemons of the platform, and delivery of every change to the points'
// handlers (diff iteration, bulk reads, priorities, two-phase commits).
//
// cfgd_sub_cb runs on the daemon's event-loop thread; registration and initial
// reads run on helper threads with sockets of their own.
#include "cfgd/cfgd_api.h"

#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "cfgd/cfgd_internal.h"
#include "cfgd/cfgd_trap.h"
#include "platform/cdb/confd_maapi.h"
#include "yang/zel_yang_hashes.h"

using namespace cfgd_internal;

namespace
{

constexpr const char *kInitPrioPath = "cfgd-initial-read-priority";
constexpr int kLockWaitRequest = CDB_LOCK_WAIT | CDB_LOCK_REQUEST;  // 5
constexpr unsigned kMaxTriggerIds = 128;
constexpr unsigned kMaxIterKeys = 32;

// The library-wide points: the operator's SNMP trap groups.
cfgd_sub_point g_lib_points[] = {
    {nullptr, "snmp/trap/group", cfgd_config_trap_group, nullptr, zel_ns_snmp, 0, 0, 1, cfgd_prio(1, 0), 0, 0, 0, 0},
    {nullptr, "snmp/trap/group/enable", cfgd_config_trap_group_enable, nullptr, zel_ns_snmp, 0, 0, 2, cfgd_prio(1, 0),
     0, 0, 0, 0},
    {},
};

uint8_t add_prio(const cfgd_sub_point *p) { return p->priorities & 0x0f; }
uint8_t del_prio(const cfgd_sub_point *p) { return static_cast<uint8_t>(p->priorities >> 4); }

// Opens a data socket, starts an operational session with lock flags 5 and reads the
// initial-read mask. -1 on a ConfD failure (logged), 0 with *mask set otherwise.
struct PrioSession {
    int sock = -1;
    bool session = false;
    ~PrioSession()
    {
        if (session)
            cdb_end_session(sock);
        if (sock >= 0)
            cdb_close(sock);
    }
};

int read_prio_mask(PrioSession &s, uint32_t *mask, bool absent_is_zero)
{
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    if ((s.sock = cfgd_open_socket()) < 0) {
        ZEL_LOG("Failed to open data socket");
        return -1;
    }
    if (cdb_connect(s.sock, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect data socket to confd %s (%d) : %s", CFGD_ERR_ARGS);
        return -1;
    }
    if (cdb_start_session2(s.sock, CDB_OPERATIONAL, kLockWaitRequest) != CONFD_OK) {
        CFGD_DEBUG("Failed to start cdb session %s (%d) : %s", CFGD_ERR_ARGS);
        return -1;
    }
    s.session = true;
    confd_value_t v;
    if (cdb_get(s.sock, &v, "/%s", kInitPrioPath) != CONFD_OK) {
        if (absent_is_zero && confd_errno == CONFD_ERR_NOEXISTS) {
            *mask = 0;
            return 0;
        }
        CFGD_DEBUG("Failed to get cfgd-initial-read-priority %s (%d) : %s", CFGD_ERR_ARGS);
        return -1;
    }
    if (v.type != C_BIT32) {
        ZEL_LOG("cfgd-initial-read-priority has type %d", v.type);
        confd_free_value(&v);
        return -1;
    }
    *mask = CONFD_GET_BIT32(&v);
    return 0;
}

struct ReadRequest {
    cfgd_context *ctx;
    int ids[kMaxTriggerIds];
    bool oper[kMaxTriggerIds];
    unsigned count;
    bool initial;  // the module's one initial read
};

// cfgd_context::initial_read_done: 0 not yet, kInitialReadRunning while a thread triggers it, 1 done.
constexpr uint32_t kInitialReadRunning = 2;

void *read_sub_config_thread(void *arg)
{
    std::unique_ptr<ReadRequest> req(static_cast<ReadRequest *>(arg));
    cfgd_context *ctx = req->ctx;
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    int sock = cfgd_open_socket(CFGD_DELIVERY_MS);
    bool ok = false;
    if (sock < 0) {
        ZEL_LOG("Failed to open data socket to read init config (%s)", strerror(errno));
    } else if (cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect init data socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
    } else {
        ok = true;
        std::vector<int> config, oper;
        for (unsigned i = 0; i < req->count; i++)
            (req->oper[i] ? oper : config).push_back(req->ids[i]);
        if (!config.empty()) {
            if (cdb_trigger_subscriptions(sock, config.data(), static_cast<int>(config.size())) != CONFD_OK) {
                ZEL_LOG("Failed to trigger config subscription (%s - %d)%s (%d) : %s", mod_name(ctx), confd_errno,
                        CFGD_ERR_ARGS);
                ok = false;
            } else {
                CFGD_DEBUG("Triggered %u config subscriptions", static_cast<unsigned>(config.size()));
            }
        }
        if (!oper.empty()) {
            if (cdb_trigger_oper_subscriptions(sock, oper.data(), static_cast<int>(oper.size()), 1) != CONFD_OK) {
                ZEL_LOG("Failed to trigger config subscription (%s - %d)%s (%d) : %s", mod_name(ctx), confd_errno,
                        CFGD_ERR_ARGS);
                ok = false;
            } else {
                CFGD_DEBUG("Triggered %u oper subscriptions", static_cast<unsigned>(oper.size()));
            }
        }
    }
    if (sock >= 0)
        close(sock);
    if (req->initial) {
        if (ok) {
            ctx->initial_read_done = 1;
            CFGD_DEBUG("Initial config read done");
            cfgd_set_initial_config_read_done(ctx);
        } else {
            // Points that never saw their configuration would skip every later change: read again
            // once the connection has been made afresh (the current one, even if it changed meanwhile:
            // its registration may have skipped the read while this one was running).
            ctx->initial_read_done = 0;
            cfgd_thread_report_failure(ctx, ctx->generation);
        }
    }
    cfgd_thread_leave(ctx);
    return nullptr;
}

bool is_oper_id(cfgd_context *ctx, int id)
{
    bool oper = false;
    for_each_point(ctx, [&](cfgd_sub_point *p) {
        if (p->sub_id == id)
            oper = (p->flags & CFGD_SUB_FLAG_OPER) != 0;
        return p->sub_id != id;
    });
    return oper;
}

int start_read(std::unique_ptr<ReadRequest> req)
{
    if (req->count == 0)
        return 0;
    cfgd_context *ctx = req->ctx;
    if (!start_detached(read_sub_config_thread, ctx, req.get())) {
        if (req->initial)
            ctx->initial_read_done = 0;
        return 1;
    }
    req.release();
    return 0;
}

// ---- catching up after a reconnect ----

struct CatchUp {
    cfgd_context *ctx;
    uint32_t generation;
    std::vector<int> ids;
    std::vector<cdb_txid> since;
};

bool same_txid(const cdb_txid &a, const cdb_txid &b) { return a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3; }

// Points that read their configuration before the connection was lost and whose transaction is not
// the database's current one wait for the changes since (their plain notifications are skipped
// until then); the request for those changes, empty when nothing was missed. Runs before the
// subscription socket is read, so nothing else touches the points.
std::unique_ptr<CatchUp> plan_catch_up(cfgd_context *ctx, uint32_t gen, const cdb_txid &now)
{
    auto req = std::make_unique<CatchUp>(CatchUp{ctx, gen, {}, {}});
    ctx->delivery_txid_valid = false;
    for_each_point(ctx, [&](cfgd_sub_point *p) {
        p->state &= static_cast<uint8_t>(~CFGD_SUB_STATE_CATCH_UP);
        if (!(p->flags & CFGD_SUB_FLAG_INIT_READ) || (p->flags & CFGD_SUB_FLAG_OPER))
            return true;
        const bool has_del = del_prio(p) != 0;
        auto add = ctx->applied_txid.find({p, false}), del = ctx->applied_txid.find({p, true});
        if (add == ctx->applied_txid.end() || (has_del && del == ctx->applied_txid.end()))
            return true;
        if (same_txid(add->second, now) && (!has_del || same_txid(del->second, now)))
            return true;
        // Both sides are asked, so that the round ends with the side that clears the mark.
        p->state |= CFGD_SUB_STATE_CATCH_UP;
        req->ids.push_back(p->sub_id);
        req->since.push_back(add->second);
        if (has_del) {
            req->ids.push_back(p->del_sub_id);
            req->since.push_back(del->second);
        }
        return true;
    });
    return req;
}

bool catch_up(std::unique_ptr<CatchUp> req)
{
    cfgd_context *ctx = req->ctx;
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    int sock = cfgd_open_socket(CFGD_DELIVERY_MS);
    if (sock < 0 || cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect data socket to catch up (%s - %d)", confd_strerror(confd_errno), confd_errno);
    } else if (cdb_trigger_subscriptions_since(sock, req->ids.data(), req->since.data(),
                                               static_cast<int>(req->ids.size())) == CONFD_OK) {
        CFGD_DEBUG("Caught up on %u subscriptions", static_cast<unsigned>(req->ids.size()));
        close(sock);
        return true;
    } else {
        // The database forgot the transaction the handlers hold: only a fresh read restores them.
        CFGD_FATAL_UNLESS(confd_errno != CONFD_ERR_NOEXISTS, "Cannot catch up on configuration (%s): %s", mod_name(ctx),
                          confd_lasterr());
        ZEL_LOG("Failed to catch up on configuration (%s - %d)%s (%d) : %s", mod_name(ctx), confd_errno, CFGD_ERR_ARGS);
    }
    if (sock >= 0)
        close(sock);
    // The points keep waiting; the next connection asks again from the same transactions.
    cfgd_thread_report_failure(ctx, req->generation);
    return false;
}

// ---- change delivery ----

bool is_bracket(confd_vtype t) { return t == C_XMLBEGIN || t == C_XMLEND; }

// With a delete priority the ADD side takes everything but deleted leaves and the DEL
// side only the deleted leaves with their container brackets. Keeps the kept values at
// the front and returns their count, 0 when nothing applicable remains.
int filter_values(confd_tag_value_t *vals, int n, bool add_side)
{
    int kept = 0;
    for (int i = 0; i < n; i++) {
        confd_vtype t = vals[i].v.type;
        bool keep = add_side ? t != C_NOEXISTS : (t == C_NOEXISTS || is_bracket(t));
        if (keep)
            std::swap(vals[kept++], vals[i]);
    }
    for (int i = 0; i < kept; i++) {
        if (!is_bracket(vals[i].v.type))
            return kept;
        if (add_side && vals[i].v.type == C_XMLBEGIN && i + 1 < kept && vals[i + 1].v.type == C_XMLEND)
            return kept;
    }
    return 0;
}

void free_values(confd_tag_value_t *vals, int n)
{
    for (int i = 0; i < n; i++)
        confd_free_value(&vals[i].v);
    free(vals);
}

struct IterState {
    cfgd_sub_point *point;
    int id;
};

void call_failed(cfgd_sub_point *p, int rc, const char *path)
{
    p->flags |= CFGD_SUB_FLAG_FAILED;
    ZEL_LOG("Config callback failed (%s - %d) : %s", mod_name(p->context), rc, path);
}

enum cdb_iter_ret cfgd_sub_diff_iter(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *, confd_value_t *,
                                     void *state)
{
    auto *st = static_cast<IterState *>(state);
    cfgd_sub_point *p = st->point;
    char path[CFGD_PATH_LEN];
    confd_pp_kpath(path, sizeof path, kp);
    CFGD_DEBUG("iter: Path buffer: %s, oper: %d", path, op);
    const bool has_del = del_prio(p) != 0;
    const bool add_side = st->id == p->sub_id;
    confd_tag_value_t *vals = nullptr;
    int nvals = 0, nused = 0;
    if (op == MOP_DELETED) {
        if (has_del && add_side) {
            CFGD_DEBUG("Delete suppressed in add subscription (%s)", path);
            return ITER_CONTINUE;
        }
    } else {
        if (cdb_get_modifications_iter(p->context->sub_sock, 0, &vals, &nvals) != CONFD_OK) {
            ZEL_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", mod_name(p->context), st->id, path,
                    CFGD_ERR_ARGS);
            return ITER_STOP;
        }
        if (nvals == 0) {
            CFGD_DEBUG("Received zero modifications (%s)", path);
            return ITER_CONTINUE;
        }
        nused = has_del ? filter_values(vals, nvals, add_side) : nvals;
        if (nused == 0) {
            CFGD_DEBUG("Received zero applicable modifications (%s)", path);
            free_values(vals, nvals);
            return ITER_CONTINUE;
        }
    }
    confd_value_t keys[kMaxIterKeys];
    unsigned nkeys = 0;
    for (int i = kp->len - 1; i >= 0; i--) {
        if (kp->v[i][0].type == C_XMLTAG)
            continue;
        for (int k = 0; k < MAXKEYLEN && kp->v[i][k].type != C_NOEXISTS && nkeys < kMaxIterKeys; k++)
            keys[nkeys++] = kp->v[i][k];
    }
    CFGD_FATAL_UNLESS(nkeys == p->num_keys, "Keys found %u != keys declared %u (%s)", nkeys, p->num_keys, path);
    int rc = p->handler(p, op, static_cast<uint8_t>(nkeys), keys, static_cast<uint16_t>(nused), vals);
    free_values(vals, nvals);
    if (rc != 0) {
        call_failed(p, rc, path);
        return ITER_STOP;
    }
    p->flags &= static_cast<uint8_t>(~CFGD_SUB_FLAG_FAILED);
    return ITER_CONTINUE;
}

int cfgd_sub_diff_no_keys(cfgd_sub_point *p, int id)
{
    confd_tag_value_t *vals = nullptr;
    int nvals = 0;
    if (cdb_get_modifications(p->context->sub_sock, id, 0, &vals, &nvals, "/%s", p->path) != CONFD_OK) {
        ZEL_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", mod_name(p->context), id, p->path,
                CFGD_ERR_ARGS);
        return -1;
    }
    if (nvals == 0) {
        CFGD_DEBUG("Received zero modifications (%s)", p->path);
        return 0;
    }
    int nused = del_prio(p) != 0 ? filter_values(vals, nvals, id == p->sub_id) : nvals;
    if (nused == 0) {
        CFGD_DEBUG("Received zero applicable modifications (%s)", p->path);
    } else if (p->handler != nullptr) {
        int rc = p->handler(p, MOP_MODIFIED, 0, nullptr, static_cast<uint16_t>(nused), vals);
        if (rc != 0)
            call_failed(p, rc, p->path);
        else
            p->flags &= static_cast<uint8_t>(~CFGD_SUB_FLAG_FAILED);
    }
    free_values(vals, nvals);
    return 0;
}

// One open list entry or container while walking a bulk-read value tree.
struct BulkFrame {
    const confd_cs_node *node;
    int bulk;  // index of the bulk list this entry belongs to, -1 if none
    bool deleted;
    unsigned key_mark;  // keys of outer levels
    std::vector<confd_tag_value_t> values;
};

int cfgd_sub_diff_bulk_read(cfgd_sub_point *p, int id)
{
    confd_tag_value_t *vals = nullptr;
    int nvals = 0;
    if (cdb_get_modifications(p->context->sub_sock, id, CDB_GET_MODS_INCLUDE_LISTS, &vals, &nvals, "/%s", p->path) !=
        CONFD_OK) {
        ZEL_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", mod_name(p->context), id, p->path,
                CFGD_ERR_ARGS);
        return -1;
    }
    CFGD_DEBUG("Bulk read: %s (%d)", p->path, nvals);
    struct Free {
        confd_tag_value_t *v;
        int n;
        ~Free() { free_values(v, n); }
    } guard{vals, nvals};
    if (nvals == 0) {
        ZEL_LOG("Received zero bulk read modifications (%s)", p->path);
        return 0;
    }
    const confd_cs_node *top = confd_cs_node_cd(nullptr, "/%s", p->path);
    if (top == nullptr) {
        ZEL_LOG("Top list node not found (%s)", p->path);
        return -1;
    }
    unsigned nlists = p->flags & CFGD_SUB_NUM_BULK_MASK;
    std::vector<const confd_cs_node *> lists(nlists);
    for (unsigned i = 0; i < nlists; i++) {
        lists[i] = confd_cs_node_cd(nullptr, "/%s", p->bulk_lists[i].path);
        if (lists[i] == nullptr) {
            ZEL_LOG("List %s not found", p->bulk_lists[i].path);
            return -1;
        }
    }
    constexpr size_t kMaxKeys = 16, kMaxValues = 128;
    std::vector<confd_value_t> keys;
    std::vector<BulkFrame> stack;
    stack.push_back({top->parent, -1, false, 0, {}});
    for (int i = 0; i < nvals; i++) {
        confd_tag_value_t &tv = vals[i];
        confd_vtype t = tv.v.type;
        BulkFrame &cur = stack.back();
        if (t == C_XMLBEGIN || t == C_XMLBEGINDEL) {
            const confd_cs_node *n = cur.node != nullptr ? confd_find_cs_node_child(cur.node, tv.tag) : nullptr;
            int bulk = -1;
            for (unsigned b = 0; b < nlists; b++)
                if (lists[b] == n)
                    bulk = static_cast<int>(b);
            stack.push_back({n, bulk, t == C_XMLBEGINDEL, static_cast<unsigned>(keys.size()), {}});
            continue;
        }
        if (t == C_XMLEND) {
            if (stack.size() <= 1)
                continue;
            BulkFrame f = std::move(stack.back());
            stack.pop_back();
            if (f.bulk >= 0 && (!f.values.empty() || f.deleted)) {
                cfgd_sub_handler h = p->bulk_lists[f.bulk].handler;
                int rc = h(p, static_cast<cdb_iter_op>(f.deleted ? 1 : 0), static_cast<uint8_t>(keys.size()),
                           keys.data(), static_cast<uint16_t>(f.values.size()), f.values.data());
                if (rc != 0)
                    call_failed(p, -1, p->bulk_lists[f.bulk].path);
            }
            if (f.node != nullptr && (f.node->info.flags & CS_NODE_IS_LIST))
                keys.resize(f.key_mark);
            continue;
        }
        // A key of the innermost open list entry, or a leaf of the nearest bulk entry.
        bool is_key = false;
        if (cur.node != nullptr && (cur.node->info.flags & CS_NODE_IS_LIST) && cur.node->info.keys != nullptr)
            for (const uint32_t *k = cur.node->info.keys; *k != 0; k++)
                is_key |= *k == tv.tag.tag;
        if (is_key) {
            if (keys.size() < kMaxKeys)
                keys.push_back(tv.v);
            continue;
        }
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (it->node != nullptr && (it->node->info.flags & CS_NODE_IS_LIST) && it->bulk < 0)
                break;
            if (it->bulk >= 0) {
                if (it->values.size() < kMaxValues)
                    it->values.push_back(tv);
                break;
            }
        }
    }
    return 0;
}

}  // namespace

cfgd_sub_point *cfgd_lib_sub_points() { return g_lib_points; }

unsigned cfgd_module_init_level(uint8_t module_id)
{
    constexpr uint8_t kLevelModules[CFGD_INIT_LEVELS] = {21, 5, 3};
    for (unsigned level = 0; level < CFGD_INIT_LEVELS; level++)
        if (kLevelModules[level] == module_id)
            return level;
    return CFGD_INIT_LEVELS;
}

int cfgd_can_read_initial_config(cfgd_context *ctx)
{
    if (ctx->initial_read_done != 0)
        return 0;
    unsigned level = cfgd_module_init_level(ctx->params.module_id);
    if (level == 0)
        return 1;
    PrioSession s;
    uint32_t mask = 0;
    if (read_prio_mask(s, &mask, false) != 0)
        return 0;
    for (unsigned l = 0; l < level; l++) {
        if ((mask & (1u << l)) == 0) {
            CFGD_DEBUG("Initial config read not allowed (curr priority:%u, mod priority:%u)", mask, level);
            return 0;
        }
    }
    return 1;
}

int cfgd_set_initial_config_read_done(cfgd_context *ctx)
{
    unsigned level = cfgd_module_init_level(ctx->params.module_id);
    if (level >= CFGD_INIT_LEVELS)
        return 0;
    PrioSession s;
    uint32_t mask = 0;
    if (read_prio_mask(s, &mask, true) != 0)
        return 1;
    confd_value_t v;
    CONFD_SET_BIT32(&v, mask | (1u << level));
    if (cdb_set_elem(s.sock, &v, "/%s", kInitPrioPath) != CONFD_OK) {
        ZEL_LOG("Failed to set cfgd-initial-read-priority %s (%d) : %s", CFGD_ERR_ARGS);
        return 1;
    }
    CFGD_DEBUG("Set cfgd-initial-read-priority to %u", mask | (1u << level));
    return 0;
}

int cfgd_read_sub_config_all(cfgd_context *ctx)
{
    // One initial read in the life of the process: a priority-mask notification that arrives while
    // a read is running, or after it, starts none.
    uint32_t expected = 0;
    if (!ctx->initial_read_done.compare_exchange_strong(expected, kInitialReadRunning))
        return 0;
    auto req = std::unique_ptr<ReadRequest>(new (std::nothrow) ReadRequest{});
    if (!req) {
        ctx->initial_read_done = 0;
        return 2;
    }
    req->ctx = ctx;
    req->initial = true;
    for_each_point(ctx, [&](cfgd_sub_point *p) {
        if (req->count >= kMaxTriggerIds)
            return false;
        if (p->flags & CFGD_SUB_FLAG_INIT_READ)
            return true;  // read before the connection was lost: it catches up instead
        req->oper[req->count] = (p->flags & CFGD_SUB_FLAG_OPER) != 0;
        req->ids[req->count++] = p->sub_id;
        return true;
    });
    if (req->count == 0)
        ctx->initial_read_done = 1;  // every point read before the connection was lost
    return start_read(std::move(req));
}

int cfgd_read_sub_config(cfgd_context *ctx, const int *sub_ids, unsigned count)
{
    if (count == 0)
        return 0;
    auto req = std::unique_ptr<ReadRequest>(new (std::nothrow) ReadRequest{});
    if (!req)
        return 2;
    req->ctx = ctx;
    for (unsigned i = 0; i < count && i < kMaxTriggerIds; i++) {
        req->ids[i] = sub_ids[i];
        req->oper[i] = is_oper_id(ctx, sub_ids[i]);
        req->count++;
    }
    return start_read(std::move(req));
}

void cfgd_thread_register_subscriptions(cfgd_context *ctx)
{
    const uint32_t gen = ctx->generation;
    const char *name = mod_name(ctx);
    const int sub_sock = ctx->sub_sock;
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    auto *sa = reinterpret_cast<const sockaddr *>(&addr);
    int maapi = -1, data = -1;
    auto fail = [&] {
        if (maapi >= 0)
            close(maapi);
        if (data >= 0)
            close(data);
        cfgd_thread_report_failure(ctx, gen);
    };
    if (confd_load_schemas(sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to load schemas from confd");
        return fail();
    }
    if ((maapi = cfgd_open_socket()) < 0) {
        ZEL_LOG("Failed to open maapi socket");
        return fail();
    }
    if (maapi_connect(maapi, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to do maapi_connect (%d)", confd_errno);
        return fail();
    }
    if ((data = cfgd_open_socket(CFGD_START_WAIT_MS)) < 0) {
        ZEL_LOG("Failed to open data socket to reg sub (%s)", strerror(errno));
        return fail();
    }
    if (cdb_connect(data, CDB_DATA_SOCKET, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect init data socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return fail();
    }
    CFGD_DEBUG("Waiting for confd phase 1");
    if (cdb_wait_start(data) != CONFD_OK) {
        ZEL_LOG("CDB Wait start failed (%s - %d) %s (%d) : %s", name, confd_errno, CFGD_ERR_ARGS);
        return fail();
    }
    CFGD_DEBUG("Confd in phase 1 - Subscribing");
    int rc = maapi_install_crypto_keys(maapi);
    close(maapi);
    maapi = -1;
    if (rc != CONFD_OK) {
        ZEL_LOG("Failed to load crypto keys ( %d) - %s, %d, %s", rc, CFGD_ERR_ARGS);
        return fail();
    }
    CFGD_DEBUG("Confd in phase 1 - Subscribing to cdb");
    if (cdb_connect(sub_sock, CDB_SUBSCRIPTION_SOCKET, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect subscription socket to confd ( %d)", confd_errno);
        return fail();
    }
    if (cdb_oper_subscribe(sub_sock, static_cast<int>(zel_ns_cfgd), &ctx->init_prio_sub_id, "/%s", kInitPrioPath) !=
        CONFD_OK) {
        ZEL_LOG("Failed to subscribe to cfgd-initial-read-priority (%s - %d) %s (%d) : %s", name, confd_errno,
                CFGD_ERR_ARGS);
        return fail();
    }
    unsigned npoints = 0;
    bool ok = true;
    for_each_point(ctx, [&](cfgd_sub_point *p) {
        p->context = ctx;
        CFGD_FATAL_UNLESS(!(p->bulk_lists != nullptr && del_prio(p) != 0),
                          "Delete priority for bulk read not yet supported");
        int ns = static_cast<int>(p->ns);
        int r;
        if (p->flags & CFGD_SUB_FLAG_OPER) {
            r = cdb_oper_subscribe(sub_sock, ns, &p->sub_id, "/%s", p->path);
        } else if (p->flags & CFGD_SUB_FLAG_TWO_PHASE) {
            r = cdb_subscribe2(sub_sock, CDB_SUB_RUNNING_TWOPHASE, 0, add_prio(p), &p->sub_id, ns, "/%s", p->path);
        } else {
            r = cdb_subscribe(sub_sock, add_prio(p), ns, &p->sub_id, "/%s", p->path);
            if (r == CONFD_OK && del_prio(p) != 0)
                r = cdb_subscribe(sub_sock, del_prio(p), ns, &p->del_sub_id, "/%s", p->path);
        }
        if (r != CONFD_OK) {
            ZEL_LOG("Failed to subscribe to %s (%s - %d)%s (%d) : %s", p->path, name, r, CFGD_ERR_ARGS);
            return ok = false;
        }
        npoints++;
        return true;
    });
    if (!ok)
        return fail();
    CFGD_DEBUG("Subscribed to confd");
    if (npoints == 0) {
        ZEL_LOG("No subscriptions to register");
        return;
    }
    if (cdb_subscribe_done(sub_sock) != CONFD_OK) {
        ZEL_LOG("cdb_subscribe_done() failed (%s - %d)%s (%d) : %s", name, confd_errno, CFGD_ERR_ARGS);
        return fail();
    }
    // Subscribed first: a commit after this id reaches the points as a notification.
    cdb_txid now{};
    if (cdb_get_txid(data, &now) != CONFD_OK) {
        ZEL_LOG("Failed to read the transaction id (%s - %d)%s (%d) : %s", name, confd_errno, CFGD_ERR_ARGS);
        return fail();
    }
    close(data);
    data = -1;
    std::unique_ptr<CatchUp> missed = plan_catch_up(ctx, gen, now);
    cfgd_thread_report_subscribed(ctx, gen);
    if (!missed->ids.empty() && !catch_up(std::move(missed)))
        return;
    if (cfgd_can_read_initial_config(ctx) == 1 && cfgd_read_sub_config_all(ctx) != 0) {
        // Without the initial read the module never sees its configuration: start over.
        ZEL_LOG("Initial trigger for subscriptions failed");
        cfgd_thread_report_failure(ctx, gen);
    }
}

// One point of a notification; false ends the walk.
static bool cfgd_sub_point_cb(evutil_socket_t fd, cfgd_sub_point *p, const int *ids, int count,
                              enum cdb_sub_notification type, bool trigger, int &remaining, bool &lost)
{
    if (remaining <= 0)
        return false;
    int matched = -1;
    for (int i = count - 1; i >= 0 && matched < 0; i--)
        if (ids[i] == p->sub_id || (del_prio(p) != 0 && ids[i] == p->del_sub_id))
            matched = ids[i];
    if (matched < 0)
        return true;
    // Before its initial read or its catch-up a point skips plain notifications: the triggered
    // round that follows brings their changes too.
    if ((!(p->flags & CFGD_SUB_FLAG_INIT_READ) || (p->state & CFGD_SUB_STATE_CATCH_UP)) && !trigger) {
        remaining--;
        return true;
    }
    const char *side = matched == p->sub_id ? "ADD" : "DEL";
    p->time_received = time(nullptr);
    CFGD_DEBUG("Received %s subscription %s", side, p->path);
    if (trigger) {
        p->flags |= CFGD_SUB_FLAG_INIT_READ;
        p->state |= CFGD_SUB_STATE_IN_PROGRESS;
    }
    if (p->flags & CFGD_SUB_FLAG_TWO_PHASE) {
        CFGD_FATAL_UNLESS(type != CDB_SUB_OPER, "Two phase sub for Oper data");
        if (type == CDB_SUB_COMMIT || type == CDB_SUB_ABORT) {
            p->state &= static_cast<uint8_t>(~CFGD_SUB_STATE_IN_PROGRESS);
            remaining--;
            return true;
        }
    }
    int res = 0;
    if (p->bulk_lists != nullptr) {
        res = cfgd_sub_diff_bulk_read(p, matched);
    } else if (p->num_keys > 0) {
        if (p->handler != nullptr) {
            IterState st{p, matched};
            res = cdb_diff_iterate(fd, matched, cfgd_sub_diff_iter, 0, &st);
        }
    } else {
        res = cfgd_sub_diff_no_keys(p, matched);
    }
    if (p->flags & CFGD_SUB_FLAG_FAILED) {
        if (type == CDB_SUB_PREPARE) {
            ZEL_LOG("Aborting transaction");
            cdb_sub_abort_trans(fd, CONFD_ERRCODE_APPLICATION_INTERNAL, 0, 0, "Unable to apply changes");
            p->state &= static_cast<uint8_t>(~CFGD_SUB_STATE_IN_PROGRESS);
            remaining = -1;
            return false;
        }
        // Committed configuration that the daemon could not apply: start afresh.
        CFGD_FATAL_UNLESS(!(p->flags & CFGD_SUB_FLAG_FAILED), "Error iterating subscription (%s - %d)", p->path, res);
    }
    if (res != 0 && res != -2) {
        if (confd_errno == CONFD_ERR_OS) {
            // The database went away in the middle of the notification.
            ZEL_LOG("Subscription socket closed");
            lost = true;
            return false;
        }
        CFGD_FATAL_UNLESS(res == 0, "Error iterating subscription (%s: %d). Unexpected type %d", p->path, res, type);
    }
    const bool del_side = del_prio(p) != 0 && matched == p->del_sub_id;
    if (del_side || del_prio(p) == 0)
        p->state &= static_cast<uint8_t>(~CFGD_SUB_STATE_CATCH_UP);
    p->state &= static_cast<uint8_t>(~CFGD_SUB_STATE_IN_PROGRESS);
    if (cfgd_context *ctx = p->context; ctx->delivery_txid_valid) {
        ctx->applied_txid[{p, del_side}] = ctx->delivery_txid;
        // The initial read creates only: there is nothing the DEL side could have missed before it.
        if (del_prio(p) != 0 && !del_side)
            ctx->applied_txid.try_emplace({p, true}, ctx->delivery_txid);
    }
    p->time_done = time(nullptr);
    CFGD_DEBUG("Success %s subscription %s", side, p->path);
    remaining--;
    return true;
}

void cfgd_sub_cb(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<cfgd_context *>(arg);
    const char *name = mod_name(ctx);
    enum cdb_sub_notification type = CDB_SUB_COMMIT;
    int flags = 0, *ids = nullptr, count = 0;
    int rc = cdb_read_subscription_socket2(fd, &type, &flags, &ids, &count);
    if (rc == CONFD_EOF) {
        ZEL_LOG("Subscription socket closed");
        cfgd_retry_connect(ctx);
        return;
    }
    if (rc != CONFD_OK) {
        ZEL_LOG("Failed to read ConfD subscription (%s - %d)%s (%d) : %s", name, rc, CFGD_ERR_ARGS);
        // A database that stopped answering in the middle of a notification is gone.
        if (confd_errno == CONFD_ERR_OS)
            cfgd_retry_connect(ctx);
        return;
    }
    std::unique_ptr<int, void (*)(void *)> id_owner(ids, free);
    CFGD_DEBUG("Received %u subscriptions (type:%u, flags:%u)", count, type, flags);
    if (count < 1)
        return;
    const bool trigger = (flags & CDB_SUB_FLAG_TRIGGER) != 0;
    const bool prio_change = ids[0] == ctx->init_prio_sub_id;
    // The transaction a round of configuration notifications brings, read once per round.
    if (!prio_change && type == CDB_SUB_COMMIT && !ctx->delivery_txid_valid) {
        if (cdb_get_txid(ctx->data_sock, &ctx->delivery_txid) != CONFD_OK) {
            ZEL_LOG("Failed to read the transaction id (%s - %d)%s (%d) : %s", name, confd_errno, CFGD_ERR_ARGS);
            cfgd_retry_connect(ctx);
            return;
        }
        ctx->delivery_txid_valid = true;
    }
    if (prio_change) {
        if (cfgd_can_read_initial_config(ctx) == 1)
            CFGD_FATAL_UNLESS(cfgd_read_sub_config_all(ctx) == 0, "Cannot start initial read");
    } else {
        int remaining = count;
        bool lost = false;
        for_each_point(ctx, [&](cfgd_sub_point *p) {
            return cfgd_sub_point_cb(fd, p, ids, count, type, trigger, remaining, lost);
        });
        if (lost) {
            cfgd_retry_connect(ctx);
            return;
        }
        if (remaining < 0)
            return;  // aborted prepare: ConfD is told, nothing to sync
        CFGD_FATAL_UNLESS(remaining == 0, "Not all subscription points (%d) read", remaining);
        if (ctx->params.subs_done_cb != nullptr)
            ctx->params.subs_done_cb(ctx, flags & CDB_SUB_FLAG_TRIGGER);
        if ((flags & CDB_SUB_FLAG_IS_LAST) && ctx->delivery_txid_valid) {
            // The round is complete: points it did not name had nothing to change in it.
            for_each_point(ctx, [&](cfgd_sub_point *p) {
                if ((p->flags & CFGD_SUB_FLAG_INIT_READ) && !(p->state & CFGD_SUB_STATE_CATCH_UP))
                    for (bool del_side : {false, true})
                        ctx->applied_txid[{p, del_side}] = ctx->delivery_txid;
                return true;
            });
            ctx->delivery_txid_valid = false;
        }
    }
    if (cdb_sync_subscription_socket(fd, CDB_DONE_PRIORITY) != CONFD_OK) {
        ZEL_LOG("Failed to sync subscription (%s - %d)", name, confd_errno);
        if (confd_errno == CONFD_ERR_OS)
            cfgd_retry_connect(ctx);
        return;
    }
    CFGD_DEBUG("Sync subscription from %s succeeded", name);
}
