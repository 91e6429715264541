// Daemon side: control and worker sockets, transaction, data-provider and action
// callbacks, notification streams and SNMP notifications; MAAPI calls.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "platform/cdb/confd_internal.h"
#include "platform/cdb/confd_maapi.h"

using cdbwire::WireReader;
using cdbwire::WireWriter;
using confd_internal::set_err;

namespace
{

struct TransState {
    confd_trans_ctx tctx{};
    confd_user_info uinfo{};
    std::string err;
    bool replied = false;
};

struct ActionState {
    confd_user_info uinfo{};
    std::string err;
    std::vector<confd_tag_value_t> result;
    ~ActionState()
    {
        for (auto &tv : result)
            confd_free_value(&tv.v);
    }
};

struct DaemonImpl {
    uint32_t daemon_id = 0;
    int ctl = -1;
    std::map<int, uint32_t> conn_ids;  // socket -> server connection id
    bool has_trans = false;
    confd_trans_cbs trans{};
    confd_trans_validate_cbs validate{};
    std::vector<confd_data_cbs> data;
    std::vector<confd_action_cbs> actions;
    std::vector<confd_valpoint_cb> valpoints;
    std::vector<std::unique_ptr<confd_notification_ctx>> nctxs;
    std::map<uint32_t, std::unique_ptr<TransState>> trans_states;
    std::map<int, std::unique_ptr<ActionState>> action_states;
};

DaemonImpl *impl(confd_daemon_ctx *dx) { return static_cast<DaemonImpl *>(dx->impl); }

int reg_request(confd_daemon_ctx *dx, uint32_t op, WireWriter &w)
{
    if (!dx || !impl(dx) || impl(dx)->ctl < 0)
        return set_err(CONFD_ERR_PROTOUSAGE, "control socket not connected");
    return confd_internal::request(impl(dx)->ctl, op, w, nullptr);
}

int reply(int fd, int err, const std::string &msg, WireWriter *body)
{
    WireWriter w;
    w.i32(err);
    w.str(msg);
    if (body)
        w.data() += body->data();
    return confd_internal::send_frame(fd, cdbwire::kOpReply, w);
}

uint32_t worker_conn(DaemonImpl *d, int fd)
{
    auto it = d->conn_ids.find(fd);
    if (it != d->conn_ids.end())
        return it->second;
    for (auto &c : d->conn_ids)
        if (c.first != d->ctl)
            return c.second;
    return 0;
}

TransState *trans_state(confd_daemon_ctx *dx, uint32_t th)
{
    auto &slot = impl(dx)->trans_states[th];
    if (!slot) {
        slot = std::make_unique<TransState>();
        slot->tctx.fd = -1;
        slot->tctx.dx = dx;
        slot->tctx.thandle = static_cast<int>(th);
        slot->tctx.mode = CONFD_READ;
        slot->tctx.uinfo = &slot->uinfo;
        slot->tctx.impl = slot.get();
        slot->uinfo.dx = dx;
    }
    return slot.get();
}

TransState *state_of(confd_trans_ctx *tctx) { return tctx ? static_cast<TransState *>(tctx->impl) : nullptr; }

int data_reply(confd_trans_ctx *tctx, WireWriter &body)
{
    TransState *ts = state_of(tctx);
    if (!ts)
        return set_err(CONFD_ERR_PROTOUSAGE, "no transaction");
    if (ts->replied)
        return set_err(CONFD_ERR_PROTOUSAGE, "request already answered");
    ts->replied = true;
    return reply(tctx->fd, 0, "", &body);
}

void free_keypath(confd_hkeypath_t *kp)
{
    for (int i = 0; i < kp->len && i < MAXDEPTH; i++)
        for (int k = 0; k < MAXKEYLEN && kp->v[i][k].type != C_NOEXISTS && kp->v[i][k].type != 0; k++)
            confd_free_value(&kp->v[i][k]);
}

int handle_trans_init(confd_daemon_ctx *dx, int fd, WireReader &r)
{
    uint32_t th = r.u32();
    uint32_t usid = r.u32();
    std::string user = r.str();
    uint32_t db = r.u32();
    if (!r.ok())
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed transaction request");
    TransState *ts = trans_state(dx, th);
    ts->tctx.dbname = static_cast<confd_dbname>(db);
    ts->uinfo.usid = static_cast<int>(usid);
    snprintf(ts->uinfo.username, sizeof ts->uinfo.username, "%s", user.c_str());
    int rc = CONFD_OK;
    if (impl(dx)->has_trans && impl(dx)->trans.init)
        rc = impl(dx)->trans.init(&ts->tctx);
    if (rc != CONFD_OK) {
        std::string err = ts->err.empty() ? "transaction init failed" : ts->err;
        impl(dx)->trans_states.erase(th);
        reply(fd, CONFD_ERR_EXTERNAL, err, nullptr);
        return set_err(CONFD_ERR_EXTERNAL, "%s", err.c_str());
    }
    WireWriter body;
    body.u32(worker_conn(impl(dx), ts->tctx.fd));
    return reply(fd, 0, "", &body);
}

int handle_trans_finish(confd_daemon_ctx *dx, int fd, WireReader &r)
{
    uint32_t th = r.u32();
    auto it = impl(dx)->trans_states.find(th);
    if (it != impl(dx)->trans_states.end()) {
        if (impl(dx)->has_trans && impl(dx)->trans.finish)
            impl(dx)->trans.finish(&it->second->tctx);
        impl(dx)->trans_states.erase(it);
    }
    return reply(fd, 0, "", nullptr);
}

int handle_data(confd_daemon_ctx *dx, int fd, WireReader &r)
{
    uint32_t th = r.u32();
    auto kind = static_cast<cdbwire::DataKind>(r.u8());
    std::string cp = r.str();
    confd_hkeypath_t kp;
    r.hkeypath(&kp);
    long next = static_cast<long>(r.i64());
    auto ftype = static_cast<confd_find_next_type>(r.u32());
    uint32_t nkeys = r.u32();
    std::vector<confd_value_t> keys(nkeys < MAXKEYLEN ? nkeys : 0);
    for (auto &k : keys)
        r.value(&k);
    auto cleanup = [&] {
        free_keypath(&kp);
        for (auto &k : keys)
            confd_free_value(&k);
    };
    if (!r.ok() || nkeys >= MAXKEYLEN) {
        cleanup();
        reply(fd, CONFD_ERR_PROTOUSAGE, "malformed data request", nullptr);
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed data request");
    }
    const confd_data_cbs *cb = nullptr;
    for (auto &d : impl(dx)->data)
        if (cp == d.callpoint)
            cb = &d;
    TransState *ts = trans_state(dx, th);
    if (ts->tctx.fd < 0)
        ts->tctx.fd = fd;
    ts->replied = false;
    ts->err.clear();
    int rc = CONFD_ERR;
    if (cb) {
        switch (kind) {
        case cdbwire::kDataGetObject:
            if (cb->get_object)
                rc = cb->get_object(&ts->tctx, &kp);
            break;
        case cdbwire::kDataGetNextObject:
            if (cb->get_next_object)
                rc = cb->get_next_object(&ts->tctx, &kp, next);
            break;
        case cdbwire::kDataFindNextObject:
            if (cb->find_next_object)
                rc = cb->find_next_object(&ts->tctx, &kp, ftype, keys.data(), static_cast<int>(keys.size()));
            break;
        case cdbwire::kDataGetElem:
            if (cb->get_elem)
                rc = cb->get_elem(&ts->tctx, &kp);
            break;
        case cdbwire::kDataGetNext:
            if (cb->get_next)
                rc = cb->get_next(&ts->tctx, &kp, next);
            break;
        case cdbwire::kDataExists:
            if (cb->exists_optional)
                rc = cb->exists_optional(&ts->tctx, &kp);
            break;
        }
    }
    cleanup();
    if (!ts->replied) {
        std::string err = !cb ? "no callback for callpoint " + cp : (ts->err.empty() ? "callback failed" : ts->err);
        reply(ts->tctx.fd, CONFD_ERR_EXTERNAL, err, nullptr);
        ts->replied = true;
    }
    if (rc != CONFD_OK)
        return set_err(CONFD_ERR_EXTERNAL, "%s", ts->err.empty() ? "data callback failed" : ts->err.c_str());
    return CONFD_OK;
}

const confd_action_cbs *find_action(confd_daemon_ctx *dx, const std::string &name)
{
    for (auto &a : impl(dx)->actions)
        if (name == a.actionpoint)
            return &a;
    return nullptr;
}

int handle_action_init(confd_daemon_ctx *dx, int fd, WireReader &r)
{
    uint32_t usid = r.u32();
    std::string user = r.str();
    std::string ap = r.str();
    if (!r.ok())
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed action request");
    auto st = std::make_unique<ActionState>();
    st->uinfo.usid = static_cast<int>(usid);
    st->uinfo.actx.fd = -1;
    st->uinfo.dx = dx;
    st->uinfo.impl = st.get();
    st->uinfo.proto = CONFD_PROTO_CONSOLE;
    snprintf(st->uinfo.username, sizeof st->uinfo.username, "%s", user.c_str());
    snprintf(st->uinfo.context, sizeof st->uinfo.context, "cli");
    const confd_action_cbs *a = find_action(dx, ap);
    int rc = a ? (a->init ? a->init(&st->uinfo) : CONFD_OK) : CONFD_ERR;
    if (rc != CONFD_OK) {
        std::string err = !a ? "no action point " + ap : (st->err.empty() ? "action init failed" : st->err);
        reply(fd, CONFD_ERR_EXTERNAL, err, nullptr);
        return set_err(CONFD_ERR_EXTERNAL, "%s", err.c_str());
    }
    WireWriter body;
    body.u32(worker_conn(impl(dx), st->uinfo.actx.fd));
    impl(dx)->action_states[static_cast<int>(usid)] = std::move(st);
    return reply(fd, 0, "", &body);
}

int handle_action(confd_daemon_ctx *dx, int fd, WireReader &r)
{
    int usid = static_cast<int>(r.u32());
    std::string ap = r.str();
    bool command = r.u8() != 0;
    xml_tag name{r.u32(), r.u32()};
    confd_hkeypath_t kp;
    r.hkeypath(&kp);
    std::vector<std::string> argv_s;
    confd_tag_value_t *params = nullptr;
    int nparams = 0;
    if (command) {
        uint32_t argc = r.u32();
        for (uint32_t i = 0; i < argc && r.ok() && i < 1024; i++)
            argv_s.push_back(r.str());
    } else {
        r.tagvalues(&params, &nparams);
    }
    auto &slot = impl(dx)->action_states[usid];
    if (!slot) {
        slot = std::make_unique<ActionState>();
        slot->uinfo.usid = usid;
        slot->uinfo.dx = dx;
        slot->uinfo.impl = slot.get();
    }
    ActionState *st = slot.get();
    if (st->uinfo.actx.fd < 0)
        st->uinfo.actx.fd = fd;
    const confd_action_cbs *a = find_action(dx, ap);
    int rc = CONFD_ERR;
    if (r.ok() && a) {
        if (command && a->command) {
            std::vector<char *> argv;
            for (auto &s : argv_s)
                argv.push_back(s.data());
            argv.push_back(nullptr);
            std::string path = ap;
            rc = a->command(&st->uinfo, path.data(), static_cast<int>(argv_s.size()), argv.data());
        } else if (!command && a->action) {
            rc = a->action(&st->uinfo, &name, &kp, params, nparams);
        }
    }
    free_keypath(&kp);
    confd_internal::free_tag_values(params, nparams);
    WireWriter body;
    body.tagvalues(st->result.data(), static_cast<int>(st->result.size()));
    std::string err = st->err;
    if (rc != CONFD_OK && err.empty())
        err = !a ? "no action point " + ap : "action failed";
    reply(st->uinfo.actx.fd, rc == CONFD_OK ? 0 : CONFD_ERR_EXTERNAL, rc == CONFD_OK ? "" : err, &body);
    impl(dx)->action_states.erase(usid);
    if (rc != CONFD_OK)
        return set_err(CONFD_ERR_EXTERNAL, "%s", err.c_str());
    return CONFD_OK;
}

std::string vformat(const char *fmt, va_list ap)
{
    char buf[4096];
    vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}

}  // namespace

extern "C" {

struct confd_daemon_ctx *confd_init_daemon(const char *name)
{
    auto *dx = static_cast<confd_daemon_ctx *>(calloc(1, sizeof(confd_daemon_ctx)));
    if (!dx) {
        set_err(CONFD_ERR_MALLOC, "out of memory");
        return nullptr;
    }
    snprintf(dx->name, sizeof dx->name, "%s", name ? name : "daemon");
    dx->ctl_sock = -1;
    dx->impl = new DaemonImpl;
    return dx;
}

void confd_release_daemon(struct confd_daemon_ctx *dx)
{
    if (!dx)
        return;
    delete impl(dx);
    free(dx);
}

int confd_set_daemon_flags(struct confd_daemon_ctx *, int) { return CONFD_OK; }

int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type, const struct sockaddr *srv,
                  int addrsz)
{
    if (!dx)
        return set_err(CONFD_ERR_PROTOUSAGE, "no daemon context");
    DaemonImpl *d = impl(dx);
    if (type == WORKER_SOCKET && d->ctl < 0)
        return set_err(CONFD_ERR_PROTOUSAGE, "connect the control socket first");
    uint32_t did = 0;
    int id =
        confd_internal::hello(sock, srv, addrsz, type == CONTROL_SOCKET ? cdbwire::kConnControl : cdbwire::kConnWorker,
                              dx->name, d->daemon_id, &did);
    if (id < 0)
        return CONFD_ERR;
    d->conn_ids[sock] = static_cast<uint32_t>(id);
    if (type == CONTROL_SOCKET) {
        d->ctl = sock;
        d->daemon_id = did;
        dx->ctl_sock = sock;
    }
    return CONFD_OK;
}

int confd_register_trans_cb(struct confd_daemon_ctx *dx, const struct confd_trans_cbs *trans)
{
    WireWriter w;
    w.u8(trans->init ? 1 : 0);
    if (reg_request(dx, cdbwire::kOpRegTransCb, w) != CONFD_OK)
        return CONFD_ERR;
    impl(dx)->trans = *trans;
    impl(dx)->has_trans = true;
    return CONFD_OK;
}

int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx, const struct confd_trans_validate_cbs *vcbs)
{
    if (!dx || !impl(dx))
        return set_err(CONFD_ERR_PROTOUSAGE, "no daemon context");
    impl(dx)->validate = *vcbs;
    return CONFD_OK;
}

int confd_register_valpoint_cb(struct confd_daemon_ctx *dx, const struct confd_valpoint_cb *vcb)
{
    WireWriter w;
    w.str(vcb->valpoint);
    if (reg_request(dx, cdbwire::kOpRegValpoint, w) != CONFD_OK)
        return CONFD_ERR;
    impl(dx)->valpoints.push_back(*vcb);
    return CONFD_OK;
}

int confd_register_data_cb(struct confd_daemon_ctx *dx, const struct confd_data_cbs *data)
{
    WireWriter w;
    w.str(data->callpoint);
    if (reg_request(dx, cdbwire::kOpRegDataCb, w) != CONFD_OK)
        return CONFD_ERR;
    impl(dx)->data.push_back(*data);
    return CONFD_OK;
}

int confd_register_action_cbs(struct confd_daemon_ctx *dx, const struct confd_action_cbs *acb)
{
    WireWriter w;
    w.str(acb->actionpoint);
    w.u8(acb->init ? 1 : 0);
    w.u8(acb->action ? 1 : 0);
    w.u8(acb->command ? 1 : 0);
    if (reg_request(dx, cdbwire::kOpRegActionCb, w) != CONFD_OK)
        return CONFD_ERR;
    impl(dx)->actions.push_back(*acb);
    return CONFD_OK;
}

int confd_register_notification_stream(struct confd_daemon_ctx *dx, const struct confd_notification_stream_cbs *ncbs,
                                       struct confd_notification_ctx **nctx)
{
    WireWriter w;
    w.str(ncbs->streamname);
    if (reg_request(dx, cdbwire::kOpRegStream, w) != CONFD_OK)
        return CONFD_ERR;
    auto n = std::make_unique<confd_notification_ctx>();
    memset(n.get(), 0, sizeof *n);
    snprintf(n->streamname, sizeof n->streamname, "%s", ncbs->streamname);
    n->notif_worker_fd = ncbs->fd;
    n->cb_opaque = ncbs->cb_opaque;
    n->dx = dx;
    *nctx = n.get();
    impl(dx)->nctxs.push_back(std::move(n));
    return CONFD_OK;
}

int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd, const char *notify_name, const char *ctx_name,
                                     struct confd_notification_ctx **nctx)
{
    WireWriter w;
    w.str(notify_name ? notify_name : "");
    w.str(ctx_name ? ctx_name : "");
    if (reg_request(dx, cdbwire::kOpRegSnmp, w) != CONFD_OK)
        return CONFD_ERR;
    auto n = std::make_unique<confd_notification_ctx>();
    memset(n.get(), 0, sizeof *n);
    n->notif_worker_fd = fd;
    snprintf(n->snmp_notify_name, sizeof n->snmp_notify_name, "%s", notify_name ? notify_name : "");
    snprintf(n->ctx_name, sizeof n->ctx_name, "%s", ctx_name ? ctx_name : "");
    n->dx = dx;
    *nctx = n.get();
    impl(dx)->nctxs.push_back(std::move(n));
    return CONFD_OK;
}

int confd_register_done(struct confd_daemon_ctx *dx)
{
    WireWriter w;
    return reg_request(dx, cdbwire::kOpRegDone, w);
}

int confd_fd_ready(struct confd_daemon_ctx *dx, int fd)
{
    if (!dx || !impl(dx))
        return set_err(CONFD_ERR_PROTOUSAGE, "no daemon context");
    uint32_t op = 0;
    std::string payload;
    int rc = cdbwire::read_frame(fd, &op, &payload);
    if (rc == CONFD_EOF)
        return CONFD_EOF;
    if (rc != CONFD_OK)
        return CONFD_ERR;
    WireReader r(payload);
    switch (op) {
    case cdbwire::kOpTransInit:
        return handle_trans_init(dx, fd, r);
    case cdbwire::kOpTransFinish:
        return handle_trans_finish(dx, fd, r);
    case cdbwire::kOpDataReq:
        return handle_data(dx, fd, r);
    case cdbwire::kOpActionInit:
        return handle_action_init(dx, fd, r);
    case cdbwire::kOpActionReq:
        return handle_action(dx, fd, r);
    default:
        reply(fd, CONFD_ERR_PROTOUSAGE, "unknown request", nullptr);
        return set_err(CONFD_ERR_PROTOUSAGE, "unknown request %u", op);
    }
}

void confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock) { tctx->fd = sock; }
void confd_action_set_fd(struct confd_user_info *uinfo, int sock) { uinfo->actx.fd = sock; }

void confd_trans_seterr(struct confd_trans_ctx *tctx, const char *fmt, ...)
{
    TransState *ts = state_of(tctx);
    if (!ts)
        return;
    va_list ap;
    va_start(ap, fmt);
    ts->err = vformat(fmt, ap);
    va_end(ap);
}

void confd_action_seterr(struct confd_user_info *uinfo, const char *fmt, ...)
{
    auto *st = static_cast<ActionState *>(uinfo ? uinfo->impl : nullptr);
    if (!st)
        return;
    va_list ap;
    va_start(ap, fmt);
    st->err = vformat(fmt, ap);
    va_end(ap);
}

int confd_action_reply_values(struct confd_user_info *uinfo, confd_tag_value_t *values, int nvalues)
{
    auto *st = static_cast<ActionState *>(uinfo ? uinfo->impl : nullptr);
    if (!st)
        return set_err(CONFD_ERR_PROTOUSAGE, "no action in progress");
    for (int i = 0; i < nvalues; i++) {
        confd_tag_value_t tv = values[i];
        confd_value_dup_to(&values[i].v, &tv.v);
        st->result.push_back(tv);
    }
    return CONFD_OK;
}

int confd_data_reply_value(struct confd_trans_ctx *tctx, const confd_value_t *v)
{
    WireWriter w;
    w.u8(cdbwire::kReplyValue);
    w.value(*v);
    return data_reply(tctx, w);
}

int confd_data_reply_value_array(struct confd_trans_ctx *tctx, const confd_value_t *vs, int n)
{
    WireWriter w;
    w.u8(cdbwire::kReplyValueArray);
    w.u32(static_cast<uint32_t>(n < 0 ? 0 : n));
    for (int i = 0; i < n; i++)
        w.value(vs[i]);
    return data_reply(tctx, w);
}

int confd_data_reply_tag_value_array(struct confd_trans_ctx *tctx, const confd_tag_value_t *tvs, int n)
{
    WireWriter w;
    w.u8(cdbwire::kReplyTagValueArray);
    w.tagvalues(tvs, n);
    return data_reply(tctx, w);
}

int confd_data_reply_next_key(struct confd_trans_ctx *tctx, const confd_value_t *v, int num_vals_in_key, long next)
{
    WireWriter w;
    w.u8(cdbwire::kReplyNextKey);
    int n = v ? num_vals_in_key : -1;
    w.i32(n);
    for (int i = 0; i < n; i++)
        w.value(v[i]);
    w.i64(next);
    return data_reply(tctx, w);
}

int confd_data_reply_not_found(struct confd_trans_ctx *tctx)
{
    WireWriter w;
    w.u8(cdbwire::kReplyNotFound);
    return data_reply(tctx, w);
}

int confd_data_reply_found(struct confd_trans_ctx *tctx)
{
    WireWriter w;
    w.u8(cdbwire::kReplyFound);
    return data_reply(tctx, w);
}

int confd_data_reply_next_object_array(struct confd_trans_ctx *tctx, const confd_value_t *v, int n, long next)
{
    WireWriter w;
    w.u8(cdbwire::kReplyNextObjectValues);
    int cnt = v ? n : -1;
    w.i32(cnt);
    for (int i = 0; i < cnt; i++)
        w.value(v[i]);
    w.i64(next);
    return data_reply(tctx, w);
}

int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *tctx, const confd_tag_value_t *tv, int n,
                                                 long next)
{
    WireWriter w;
    w.u8(cdbwire::kReplyNextObject);
    int cnt = tv ? n : -1;  // no array (count -1 by convention) ends the list
    w.i32(cnt);
    for (int i = 0; i < cnt; i++)
        w.tagvalue(tv[i]);
    w.i64(next);
    return data_reply(tctx, w);
}

int confd_notification_send(struct confd_notification_ctx *nctx, struct confd_datetime *time, confd_tag_value_t *values,
                            int nvalues)
{
    if (!nctx || !time || (nvalues > 0 && !values))
        return set_err(CONFD_ERR_PROTOUSAGE, "missing argument");
    WireWriter w;
    w.str(nctx->streamname);
    confd_value_t t;
    CONFD_SET_DATETIME(&t, *time);
    w.value(t);
    w.tagvalues(values, nvalues);
    return confd_internal::send_frame(nctx->notif_worker_fd, cdbwire::kOpNotifSend, w);
}

int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx, const char *notify_name)
{
    if (!nctx)
        return set_err(CONFD_ERR_PROTOUSAGE, "no notification context");
    snprintf(nctx->snmp_notify_name, sizeof nctx->snmp_notify_name, "%s", notify_name ? notify_name : "");
    return CONFD_OK;
}

int confd_notification_send_snmp(struct confd_notification_ctx *nctx, const char *notification,
                                 struct confd_snmp_varbind *varbinds, int num_vars)
{
    if (!nctx || !notification || (num_vars > 0 && !varbinds))
        return set_err(CONFD_ERR_PROTOUSAGE, "missing argument");
    WireWriter w;
    w.str(nctx->snmp_notify_name);
    w.str(nctx->ctx_name);
    w.str(notification);
    w.u32(static_cast<uint32_t>(num_vars < 0 ? 0 : num_vars));
    for (int i = 0; i < num_vars; i++) {
        std::string name;
        if (varbinds[i].type == CONFD_SNMP_VARIABLE)
            name = varbinds[i].var.name;
        else if (varbinds[i].type == CONFD_SNMP_COL_VARIABLE)
            name = varbinds[i].var.col.name;
        else
            for (int k = 0; k < varbinds[i].oidlen && k < 128; k++)
                name += (k ? "." : "") + std::to_string(varbinds[i].var.oid[k]);
        w.str(name);
        w.value(varbinds[i].val);
    }
    return confd_internal::send_frame(nctx->notif_worker_fd, cdbwire::kOpSnmpSend, w);
}

int maapi_connect(int sock, const struct sockaddr *srv, int srv_sz)
{
    return confd_internal::hello(sock, srv, srv_sz, cdbwire::kConnMaapi, nullptr, 0, nullptr) < 0 ? CONFD_ERR
                                                                                                  : CONFD_OK;
}

int maapi_close(int sock) { return close(sock) == 0 ? CONFD_OK : set_err(CONFD_ERR_OS, "close failed"); }

int maapi_attach2(int sock, int hashed_ns, int usid, int thandle)
{
    WireWriter w;
    w.u32(static_cast<uint32_t>(hashed_ns));
    w.u32(static_cast<uint32_t>(usid));
    w.u32(static_cast<uint32_t>(thandle));
    return confd_internal::request(sock, cdbwire::kOpMaapiAttach, w, nullptr);
}

int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *ctx)
{
    if (!ctx)
        return set_err(CONFD_ERR_PROTOUSAGE, "no transaction");
    return maapi_attach2(sock, hashed_ns, ctx->uinfo ? ctx->uinfo->usid : 0, ctx->thandle);
}

int maapi_detach(int sock, struct confd_trans_ctx *ctx)
{
    WireWriter w;
    w.u32(ctx ? static_cast<uint32_t>(ctx->thandle) : 0);
    return confd_internal::request(sock, cdbwire::kOpMaapiDetach, w, nullptr);
}

int maapi_install_crypto_keys(int sock)
{
    WireWriter w;
    return confd_internal::request(sock, cdbwire::kOpMaapiCrypto, w, nullptr);
}

int maapi_cli_write(int sock, int usess, const char *buf, int size)
{
    WireWriter w;
    w.u32(static_cast<uint32_t>(usess));
    w.str(std::string_view(buf ? buf : "", buf && size > 0 ? static_cast<size_t>(size) : 0));
    return confd_internal::request(sock, cdbwire::kOpCliWrite, w, nullptr);
}

int maapi_cli_printf(int sock, int usess, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return set_err(CONFD_ERR_MALLOC, "out of memory");
    int rc = maapi_cli_write(sock, usess, text, n);
    free(text);
    return rc;
}

}  // extern "C"
