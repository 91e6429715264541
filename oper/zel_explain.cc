// Explaining one packet: which policy vpn-lists (by VPN) or IPv4 access lists (by interface and
// direction) apply to it, which rule of the owner's rule table (the model's sequences as translated)
// it matches first, and which action block the owner's published program selects, read as a
// forwarding plane reads it. Both answers are printed; when they name different actions the command
// says so, since then the program does not do what the configuration asks.
#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "cfgd/cfgd_api.h"
#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "compiler/zel_action.h"
#include "compiler/zel_fpinterp.h"
#include "compiler/zel_ruletable.h"
#include "dpi/zel_dpi.h"
#include "oper/zel_oper_internal.h"
#include "platform/cdb/confd_maapi.h"
#include "policy/zel_policy_rules.h"
#include "yang/zel_yang_hashes.h"

namespace
{

using packet_values = std::array<uint32_t, ZEL_CF_LAST + 1>;

struct explain_query {
    bool have_vpn = false;
    uint32_t vpn = 0;
    std::string ifname;
    uint32_t direction = 0;  // 1 in, 2 out (as bindings keep it), 0 not given
    std::string app;
    packet_values values{};
};

// The input parameters: their tag, the value type the database delivers, and the packet field they set
// (0 for the selectors and the application, which is looked up by name).
struct param_row {
    uint32_t tag;
    const char *name;
    confd_vtype type;
    uint32_t field;
    uint32_t max;
};
constexpr param_row kParams[] = {
    {zel_tag_oper_vpn, "vpn", C_UINT32, 0, UINT32_MAX},
    {zel_tag_oper_interface, "interface", C_BUF, 0, ZEL_ACL_IFNAME_LEN - 1},
    {zel_tag_oper_direction, "direction", C_ENUM_VALUE, 0, 1},
    {zel_tag_oper_source_address, "source-address", C_IPV4, ZEL_CF_SRC_ADDR, UINT32_MAX},
    {zel_tag_oper_destination_address, "destination-address", C_IPV4, ZEL_CF_DST_ADDR, UINT32_MAX},
    {zel_tag_oper_source_port, "source-port", C_UINT16, ZEL_CF_SRC_PORT, 65535},
    {zel_tag_oper_destination_port, "destination-port", C_UINT16, ZEL_CF_DST_PORT, 65535},
    {zel_tag_oper_protocol, "protocol", C_UINT8, ZEL_CF_PROTOCOL, 255},
    {zel_tag_oper_dscp, "dscp", C_UINT8, ZEL_CF_DSCP, 63},
    {zel_tag_oper_packet_length, "packet-length", C_UINT16, ZEL_CF_PKT_LEN, 65535},
    {zel_tag_oper_app, "app", C_BUF, 0, ZEL_POLICY_NAME_LEN - 1},
};

const char *type_text(confd_vtype t)
{
    switch (t) {
    case C_UINT8:
        return "a number 0 ... 255";
    case C_UINT16:
        return "a number 0 ... 65535";
    case C_UINT32:
        return "a number 0 ... 4294967295";
    case C_IPV4:
        return "an IPv4 address";
    case C_ENUM_VALUE:
        return "in or out";
    default:
        return "a name";
    }
}

// Fills q from the parameters; "" or what is wrong with them.
std::string read_params(const confd_tag_value_t *params, int n, explain_query *q)
{
    q->values[ZEL_CF_MATCH_ANY] = ZEL_FP_MATCH_ANY_VALUE;
    bool have_direction = false;
    for (int i = 0; i < n; i++) {
        const confd_value_t &v = params[i].v;
        if (v.type == C_XMLBEGIN || v.type == C_XMLEND || v.type == C_NOEXISTS)
            continue;
        const param_row *row = nullptr;
        for (const param_row &r : kParams)
            if (r.tag == params[i].tag.tag)
                row = &r;
        if (row == nullptr) {
            char t[16];
            snprintf(t, sizeof t, "0x%08x", params[i].tag.tag);
            return std::string("unknown parameter (tag ") + t + ")";
        }
        if (v.type != row->type)
            return std::string(row->name) + ": expected " + type_text(row->type);
        uint64_t num = 0;
        std::string text;
        switch (v.type) {
        case C_UINT8:
            num = v.val.u8;
            break;
        case C_UINT16:
            num = v.val.u16;
            break;
        case C_UINT32:
            num = v.val.u32;
            break;
        case C_IPV4:
            num = ntohl(v.val.ip.s_addr);
            break;
        case C_ENUM_VALUE:
            num = static_cast<uint32_t>(v.val.enumvalue);
            break;
        default:
            text.assign(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.size);
            num = text.empty() ? 1 : text.size();
            break;
        }
        if (num > row->max || (v.type == C_BUF && text.empty()))
            return std::string(row->name) + ": expected " +
                   (v.type == C_BUF ? "1 ... " + std::to_string(row->max) + " characters"
                                    : "at most " + std::to_string(row->max));
        if (row->field != 0)
            q->values[row->field] = static_cast<uint32_t>(num);
        else if (row->tag == zel_tag_oper_vpn)
            q->have_vpn = true, q->vpn = static_cast<uint32_t>(num);
        else if (row->tag == zel_tag_oper_interface)
            q->ifname = text;
        else if (row->tag == zel_tag_oper_direction)
            have_direction = true, q->direction = num == 0 ? 1 : 2;
        else
            q->app = text;
    }
    if (q->ifname.empty() != !have_direction)
        return "interface and direction go together";
    if (!q->have_vpn && q->ifname.empty())
        return "give vpn, or interface and direction";
    return {};
}

// The actions of a block, as words: what the forwarding plane does, without the statistics it keeps.
std::string actions_text(const zel_action_data &d)
{
    std::string out;
    char buf[ZEL_ACTION_NAME_LEN + 32];
    for (const zel_action_slot &s : d.slot) {
        if (s.code == 0 && s.param_type == 0)
            continue;
        const auto &p = s.p;
        buf[0] = '\0';
        switch (s.param_type) {
        case ZEL_ACT_COUNT:
            snprintf(buf, sizeof buf, " %.*s", static_cast<int>(ZEL_ACTION_NAME_LEN), p.count.name);
            break;
        case ZEL_ACT_POLICE:
            snprintf(buf, sizeof buf, " %.*s", static_cast<int>(ZEL_ACTION_NAME_LEN), p.police.name);
            break;
        case ZEL_ACT_MIRROR:
            snprintf(buf, sizeof buf, " %u", p.mirror.value);
            break;
        case ZEL_ACT_SET_TLOC:
            snprintf(buf, sizeof buf, " %u label %u%s", p.tloc.tloc_index, p.tloc.vpn_label,
                     p.tloc.resolved ? "" : " unresolved");
            break;
        case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
            snprintf(buf, sizeof buf, " 0x%x 0x%x", p.color_encap.color, p.color_encap.encap);
            break;
        case ZEL_ACT_SLA_CLASS:
            snprintf(buf, sizeof buf, " %u%s", p.sla.primary, p.sla.backup == 5 ? " strict" : "");
            break;
        case ZEL_ACT_TLOC_LIST:
            snprintf(buf, sizeof buf, " %u.%u", p.tloc_list[0].tloc_index, p.tloc_list[0].vpn_label);
            break;
        case ZEL_ACT_SET_FC:
            snprintf(buf, sizeof buf, " %d", p.fc);
            break;
        case ZEL_ACT_SET_NEXT_HOP:
            snprintf(buf, sizeof buf, " %s", zel_addr_record_str(&p.next_hop));
            break;
        case ZEL_ACT_SET_NAT_USE_VPN:
            snprintf(buf, sizeof buf, " %u", p.vrf_id);
            break;
        case ZEL_ACT_SET_DSCP:
        case ZEL_ACT_SET_SVC_TYPE:
        case ZEL_ACT_SET_TRAFFIC_CLASS:
            snprintf(buf, sizeof buf, " %u", p.u8);
            break;
        case ZEL_ACT_SET_NAT_POOL:
        case ZEL_ACT_SET_BACKUP_PREF_COLOR:
            snprintf(buf, sizeof buf, " %u", p.u32);
            break;
        default:
            break;
        }
        out += out.empty() ? "" : " ";
        out += zel_action_name(s.code != 0 ? s.code : s.param_type);
        out += buf;
    }
    return out.empty() ? "(no action)" : out;
}

zel_action_data block_data(std::span<const uint8_t> bytes)
{
    zel_action_data d{};
    memcpy(&d, bytes.data(), std::min(bytes.size(), sizeof d));
    return d;
}

// Both answers for one owner, appended to out.
void explain_owner(const zel_ctx *ctx, const std::string &title, const zel_filter &f, const packet_values &v,
                   std::string *out)
{
    *out += title + "\n";
    std::string model, program;
    std::string model_where, program_where;
    if (f.rules == nullptr) {
        *out += "  model: not compiled\n";
    } else {
        const rule *r = zel_rule_table_first_match(f.rules, v);
        const action_block *b = r ? r->action : &f.rules->default_action;
        model = b ? actions_text(block_data(b->data)) : "(no action)";
        model_where = r ? std::string("sequence ") + r->name : "default action";
        *out += "  model: " + model_where + ": " + model + "\n";
    }
    const bool published =
        f.program != nullptr && f.filter_index != ZEL_FILTER_UNBOUND && f.filter_index < ctx->policy_db->no_filter;
    zel_fp_program prog;
    uint32_t index = 0;
    if (!published) {
        *out += "  program: not published\n";
    } else if (prog.load({static_cast<const uint8_t *>(f.program), f.program_size}) != 0) {
        *out += "  program: filter " + std::to_string(f.filter_index) + " cannot be read: " + prog.error() + "\n";
    } else if (int rc = prog.run(v.data(), &index); rc != 0) {
        *out += "  program: filter " + std::to_string(f.filter_index) +
                (rc == 2 ? ": a value lies in no row\n" : ": the class has no action block\n");
    } else {
        const std::span<const uint8_t> block = prog.action(index);
        const auto *hdr = reinterpret_cast<const zel_action_block_hdr *>(block.data());
        program = actions_text(block_data(block.subspan(sizeof(zel_action_block_hdr))));
        program_where = "filter " + std::to_string(f.filter_index) + " action block " + std::to_string(index) +
                        (hdr->flags & ZEL_ACTION_FLAG_DEFAULT ? " default" : "");
        *out += "  program: " + program_where + ": " + program + "\n";
    }
    if (!model.empty() && !program.empty() && model != program)
        *out += "  disagreement: the model's " + model_where + " names \"" + model + "\", the program's " +
                program_where + " \"" + program + "\"\n";
}

std::string packet_text(const explain_query &q)
{
    const packet_values &v = q.values;
    char buf[256];
    auto addr = [](uint32_t a, char *b) {
        snprintf(b, 16, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
        return b;
    };
    char src[16], dst[16];
    snprintf(buf, sizeof buf, "packet: protocol %u %s:%u -> %s:%u dscp %u length %u app %s\n", v[ZEL_CF_PROTOCOL],
             addr(v[ZEL_CF_SRC_ADDR], src), v[ZEL_CF_SRC_PORT], addr(v[ZEL_CF_DST_ADDR], dst), v[ZEL_CF_DST_PORT],
             v[ZEL_CF_DSCP], v[ZEL_CF_PKT_LEN], q.app.empty() ? "-" : q.app.c_str());
    return buf;
}

// The whole answer; false with *out the reason when the query cannot be answered.
bool explain(const zel_ctx *ctx, explain_query &q, std::string *out)
{
    if (!q.app.empty()) {
        const uint32_t id = ctx->dpi.app_id ? ctx->dpi.app_id(q.app.c_str()) : 0;
        if (id == 0) {
            *out = "unknown application " + q.app;
            return false;
        }
        q.values[ZEL_CF_APP] = id;
        q.values[ZEL_CF_APP_FAMILY] = zel_dpi_app_family(id);
    }
    *out = packet_text(q);
    size_t owners = 0;
    const zel_policy_db &db = *ctx->policy_db;
    if (q.have_vpn)
        for (const auto &[key, policy] : db.policies)
            for (const auto &[name, pvl] : policy->vpn_lists) {
                const auto vl = db.vpn_lists.find(name);
                if (vl == db.vpn_lists.end() ||
                    std::none_of(vl->second->ranges.begin(), vl->second->ranges.end(),
                                 [&](const zel_vpn_range &r) { return r.low <= q.vpn && q.vpn <= r.high; }))
                    continue;
                const char *kind = policy->type == ZEL_POLICY_TYPE_DATA ? "data-policy" : "app-route-policy";
                explain_owner(ctx, std::string(kind) + " " + policy->name + " vpn-list " + name, *pvl, q.values, out);
                owners++;
            }
    if (!q.ifname.empty())
        for (const auto &[name, acl] : db.access_lists[ZEL_ACL_V4]) {
            if (!acl->bindings.contains({q.ifname, q.direction}))
                continue;
            explain_owner(ctx,
                          "access-list " + name + " interface " + q.ifname + " direction " +
                              (q.direction == 1 ? "in" : "out"),
                          *acl, q.values, out);
            owners++;
        }
    if (owners == 0)
        *out += "no policy vpn-list or access list applies\n";
    return true;
}

}  // namespace

int zel_explain(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (!ctx || !ctx->policy_db) {
        confd_action_seterr(uinfo, "the policy database is not running");
        return CONFD_ERR;
    }
    explain_query q;
    std::string text = read_params(params, n, &q);
    if (!text.empty() || !explain(ctx, q, &text)) {
        confd_action_seterr(uinfo, "%s", text.c_str());
        return CONFD_ERR;
    }
    const auto *cfgd = static_cast<const cfgd_context *>(uinfo->dx->d_opaque);
    if (maapi_cli_write(cfgd->maapi_sock, uinfo->usid, text.data(), static_cast<int>(text.size())) != CONFD_OK) {
        ZEL_LOG("Failed to write the explanation to session %d", uinfo->usid);
        return CONFD_ERR;
    }
    return CONFD_OK;
}
