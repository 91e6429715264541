// Debug dumps of every in-memory database, printed to the operator's CLI session: one small function
// per section, each a walk over one collection in its own order.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "cfgd/cfgd_api.h"
#include "common/mempool.h"
#include "common/msgq_util.h"
#include "common/zel_ctx.h"
#include "dataplane/fp_common.h"
#include "dataplane/zel_if_octeon.h"
#include "dpi/zel_dpi_internal.h"
#include "oper/zel_oper_internal.h"
#include "platform/cdb/confd_maapi.h"
#include "policy/zel_config.h"

namespace
{

// Colour mask: the name of every colour whose bit is set; encapsulation mask: "gre " then "ipsec ".
std::string color_mask_names(uint32_t mask)
{
    std::string s;
    for (unsigned c = 1; c <= COLOR_MAX; c++)
        if (mask & (1u << c))
            s += std::string(color_name(c)) + " ";
    return s;
}

std::string encap_mask_names(uint32_t mask)
{
    std::string s;
    if (mask & ZEL_ENCAP_MASK_GRE)
        s += "gre ";
    if (mask & ZEL_ENCAP_MASK_IPSEC)
        s += "ipsec ";
    return s;
}

std::string tloc_text(const tloc_key_t &key)
{
    char buf[128];
    return tloc_to_name_str(&key, buf, sizeof buf);
}

std::string addr_text(const ip_addr_t &addr)
{
    char buf[64];
    return ip_addr_to_str(&addr, buf, sizeof buf);
}

int as_int(uint32_t v) { return static_cast<int>(v); }

// ---------------------------------------------------------------------------------------------------
// Filter info: the inspection and flow-reporting switches as the forwarding plane sees them.

uint32_t shared_word(uint32_t tbl)
{
    const auto *w = fp_shmem_base() ? static_cast<const uint32_t *>(fp_table(tbl)) : nullptr;
    return w ? *w : 0;
}

void filter_info(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nFilter info\n");
    const auto *log =
        fp_shmem_base() ? static_cast<const fp_filter_log_cfg *>(fp_table(FP_TBL_FILTER_LOG_CFG)) : nullptr;
    const fp_filter_log_cfg words = log ? *log : fp_filter_log_cfg{};
    zel_out_printf(out, "Log Frequency        : %d    Packet Count    : %d\n", as_int(words.words[0]),
                   as_int(words.words[1]));
    for (size_t i = 2; i < std::size(words.words); i++)
        zel_out_printf(out, "%d ", as_int(words.words[i]));
    zel_out_printf(out, "\n");
    const zel_dpi_switches sw = zel_dpi_current_switches();
    zel_out_printf(out, "App Visibility       : %d\n", sw.app_visibility ? 1 : 0);
    zel_out_printf(out, "Policy DPI Reference : %d\n", as_int(ctx->dpi_refs));
    zel_out_printf(out, "DPI state (Control)  : %u\n", ctx->dpi_refs);
    zel_out_printf(out, "DPI state            : %u\n", shared_word(FP_TBL_DPI_APP_VISIBILITY));
    zel_out_printf(out, "Flow Visibility      : %d\n", sw.flow_visibility ? 1 : 0);
    zel_out_printf(out, "Policy Flow Reference: %d\n", as_int(ctx->flow_refs));
    zel_out_printf(out, "Flow state (Control) : %u\n", ctx->flow_refs);
    zel_out_printf(out, "Flow state           : %u\n", shared_word(FP_TBL_FILTER_FLOW_VISIBILITY));
    const time_t hello =
        ctx->links.sysmgr && ctx->links.sysmgr_last_hello ? ctx->links.sysmgr_last_hello(ctx->links.sysmgr) : 0;
    zel_out_printf(out, "Last hello           : %ld\n", static_cast<long>(hello));
}

// ---------------------------------------------------------------------------------------------------
// Policies.

// The parameter lines of one action, by parameter type.
void action_params(const zel_sequence &seq, const zel_action &a, const zel_out_sink *out)
{
    const char *ind = "                 ";
    const zel_action_value &v = a.v;
    switch (a.param_type) {
    case ZEL_ACT_SET_TLOC:
        zel_out_printf(out, "%sTLOC: vpn-label: %d preference: %d\n", ind, as_int(v.vpn_label),
                       a.tloc ? as_int(a.tloc->pref) : 0);
        zel_out_printf(out, "%stloc: %s tloc-index: %d\n", ind, tloc_text(v.tloc).c_str(),
                       a.tloc ? as_int(a.tloc->tloc_index) : 0);
        break;
    case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
        zel_out_printf(out, "%sTLOC_C/E: color: 0x%x %s encap: 0x%x %s\n", ind, v.color,
                       color_mask_names(v.color).c_str(), v.encap, encap_mask_names(v.encap).c_str());
        break;
    case ZEL_ACT_MIRROR:
        zel_out_printf(out, "%sMirror: name: %s\n", ind, v.name);
        break;
    case ZEL_ACT_POLICE:
        zel_out_printf(out, "%sPolice: %d.%s Type: %d Policy Name: %s\n", ind, a.seq, v.name,
                       as_int(seq.acl ? ZEL_LIST_SOURCE_LOCAL : ZEL_LIST_SOURCE_CONTROLLER),
                       seq.acl      ? seq.acl->name.c_str()
                       : seq.policy ? seq.policy->name.c_str()
                                    : "");
        break;
    case ZEL_ACT_COUNT:
        zel_out_printf(out, "%sCounter: %s\n", ind, v.name);
        break;
    case ZEL_ACT_SET_FC:
        zel_out_printf(out, "%sClass: %s [%d]\n", ind, v.fc_name, a.fc_unresolved ? -1 : as_int(a.fc.id));
        break;
    case ZEL_ACT_SET_NEXT_HOP:
        zel_out_printf(out, "%sNext-hop: %s\n", ind, addr_text(v.next_hop).c_str());
        break;
    case ZEL_ACT_SET_NAT_USE_VPN:
        zel_out_printf(out, "%sNAT use-vpn (vrid): %u\n", ind, static_cast<unsigned>(a.vrf_id));
        break;
    case ZEL_ACT_SLA_CLASS:
        zel_out_printf(out, "%sSLA name: %s id: %d strict: %d preferred-color: 0x%x %s\n", ind, v.sla_name, a.sla_index,
                       v.strict, v.preferred_color, color_mask_names(v.preferred_color).c_str());
        break;
    case ZEL_ACT_TLOC_LIST:
        zel_out_printf(out, "%sTLOC-List\n", ind);
        for (const zel_tloc_choice_cfg &c : a.tloc_choices)
            zel_out_printf(out, "%sTLOC: %s Label: %u preference: %u\n", ind, tloc_text(c.tloc).c_str(), c.vpn_label,
                           c.preference);
        break;
    case ZEL_ACT_SET_DSCP:
        zel_out_printf(out, "%sDSCP: %u\n", ind, static_cast<unsigned>(v.value));
        break;
    case ZEL_ACT_SET_SVC_TYPE:
        zel_out_printf(out, "%sSvc-type: %u\n", ind, static_cast<unsigned>(v.value));
        break;
    case ZEL_ACT_SET_NAT_POOL:
        zel_out_printf(out, "%sNat-Pool id: %u\n", ind, static_cast<unsigned>(v.value));
        break;
    case ZEL_ACT_LOG:
        zel_out_printf(out, "%sLog\n", ind);
        break;
    case ZEL_ACT_SET_SVC_LOCAL:
        zel_out_printf(out, "%sSvc-Local\n", ind);
        break;
    case ZEL_ACT_SET_SVC_LOCAL_STRICT:
        zel_out_printf(out, "%sSvc-Local-Strict\n", ind);
        break;
    case ZEL_ACT_SET_BACKUP_PREF_COLOR:
        zel_out_printf(out, "%sBackup preferred color: 0x%x %s\n", ind, static_cast<unsigned>(v.value),
                       color_mask_names(static_cast<uint32_t>(v.value)).c_str());
        break;
    case ZEL_ACT_SET_TRAFFIC_CLASS:
        zel_out_printf(out, "%sTraffic-Class: %u\n", ind, static_cast<unsigned>(v.value));
        break;
    case ZEL_ACT_SET_LOCAL_TLOC_LIST:
        zel_out_printf(out, "%sColor Mask: 0x%x %s, Encap Mask: 0x%x %s, Restrict: %s\n", ind, v.color,
                       color_mask_names(v.color).c_str(), v.encap, encap_mask_names(v.encap).c_str(),
                       v.restrict_ ? "Yes" : "No");
        break;
    case ZEL_ACT_TCP_OPT:
        zel_out_printf(out, "%sTCP Optimization\n", ind);
        break;
    default:
        break;
    }
}

unsigned tloc_count(const zel_action &a)
{
    if (a.param_type == ZEL_ACT_TLOC_LIST)
        return static_cast<unsigned>(a.tloc_list_refs.size());
    return a.param_type == ZEL_ACT_SET_TLOC && a.tloc ? 1 : 0;
}

void sequence_line(const zel_sequence &seq, const zel_out_sink *out)
{
    zel_out_printf(out, "        [%u] %s Match/Field [%d] Action [%d] tloc_db [%d]\n", seq.number,
                   seq.vpn_list_name.c_str(), as_int(static_cast<uint32_t>(seq.matches.size())),
                   as_int(static_cast<uint32_t>(seq.actions.size())),
                   as_int(static_cast<uint32_t>(seq.tloc_refs.size())));
}

// A sequence in full: its line, matches, actions and the locators it refers to.
void sequence_detail(const zel_sequence &seq, const zel_out_sink *out)
{
    sequence_line(seq, out);
    zel_out_printf(out, "          Match Conditions: \n");
    for (const zel_match &m : seq.matches)
        zel_out_printf(out, "            [%d] %s [%d] %s : %s\n", as_int(m.field), zel_match_field_name(m.field),
                       as_int(m.match_type), zel_match_field_name(m.match_type), m.list_name);
    zel_out_printf(out, "          Actions:\n");
    const int n = static_cast<int>(seq.actions.size());
    for (int i = 0; i < n; i++) {
        const zel_action &a = *seq.actions[static_cast<size_t>(i)];
        zel_out_printf(out, "            [%d/%d] %s type: %d tlocs: %u\n", i + 1, n, zel_action_name(a.code),
                       as_int(a.param_type), tloc_count(a));
        action_params(seq, a, out);
    }
    zel_out_printf(out, "          TLOC Ctx db (#%d)\n", as_int(static_cast<uint32_t>(seq.tloc_refs.size())));
    for (const auto &[peer, ref] : seq.tloc_refs)
        zel_out_printf(out, "            Idx: %d %s (#%d)\n", as_int(peer->tloc_index), tloc_text(peer->key).c_str(),
                       as_int(ref->count));
}

void policy_vpn_list(zel_ctx *ctx, const zel_policy_vpn_list &pvl, const zel_out_sink *out)
{
    zel_out_printf(out, "      Name: %s, FilterId: %d, FilterType: %d, Direction: %d\n", pvl.name.c_str(),
                   static_cast<int>(pvl.filter_index), as_int(pvl.filter_type), as_int(pvl.direction));
    zel_out_printf(out, "          Changed: %d\n", pvl.changed);
    zel_out_printf(out, "      Rule db #%d\n", as_int(static_cast<uint32_t>(pvl.sequences.size())));
    for (const auto &[num, seq] : pvl.sequences)
        sequence_line(*seq, out);
    zel_out_printf(out, "        Default action %u\n", pvl.default_action ? pvl.default_action->code : 0);
    // Sequences are kept in number order, which is also the order the rule table takes them in.
    zel_out_printf(out, "      Rule List\n");
    for (const auto &[num, seq] : pvl.sequences)
        sequence_detail(*seq, out);
    zel_out_printf(out, "      Counter db (#%d)\n", as_int(static_cast<uint32_t>(pvl.counters.size())));
    for (const auto &[name, count] : pvl.counters)
        zel_out_printf(out, "      [%p] %s (#%d)\n", static_cast<const void *>(&count), name.c_str(), as_int(count));
    zel_out_printf(out, "      DPI APP list context db [%d]\n", as_int(static_cast<uint32_t>(pvl.app_lists.size())));
    for (const auto &[name, count] : pvl.app_lists) {
        const zel_app_list *list = zel_config_app_list_find(ctx, name.c_str(), ZEL_LIST_SOURCE_CONTROLLER);
        zel_out_printf(out, "          AppList: %s Location: %d Ref: %d\n", name.c_str(),
                       as_int(ZEL_LIST_SOURCE_CONTROLLER), as_int(count));
        zel_out_printf(out, "            Type: %d\n", list ? as_int(list->kind) : 0);
    }
}

void policies(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nPolicy Database\n");
    for (const auto &[key, p] : ctx->policy_db->policies) {
        zel_out_printf(out, "  Policy: %s Type: %d Direction: %d Old: %d\n", p->name.c_str(), as_int(p->type),
                       as_int(p->direction), as_int(p->prev_direction));
        zel_out_printf(out, "    Added: %d Changed: %d\n", p->added, p->changed);
        zel_out_printf(out, "    VPN List db: [%d]\n", as_int(static_cast<uint32_t>(p->vpn_lists.size())));
        for (const auto &[name, pvl] : p->vpn_lists)
            policy_vpn_list(ctx, *pvl, out);
    }
}

// ---------------------------------------------------------------------------------------------------
// Access lists.

// Policer lines as the policer section and the IPv4 access lists print them.
void policer_lines(const zel_policer &p, const char *user, const char *ind, const zel_out_sink *out)
{
    zel_out_printf(out, "  Name: %d.%s Type: %d Policy Name: %s\n", p.id, p.name.c_str(), as_int(p.source), user);
    zel_out_printf(out, "%sBtype: %u, Bname: %s, Bname2: %s\n", ind, p.exceed, p.exceed ? "remark" : "drop",
                   p.source == ZEL_LIST_SOURCE_LOCAL ? "local" : "controller");
    zel_out_printf(out, "%sBW: %lu, Burst: %u, OOB: %u\n", ind, static_cast<unsigned long>(p.rate_bps),
                   static_cast<unsigned>(p.burst_bytes), p.exceed);
}

void access_list(zel_ctx *ctx, const zel_access_list &acl, const zel_out_sink *out)
{
    zel_out_printf(out, "\n  ACL: %s Type: %d FilterId: %d\n", acl.name.c_str(), as_int(acl.family),
                   static_cast<int>(acl.filter_index));
    zel_out_printf(out, "    Intf db: %d\n", as_int(static_cast<uint32_t>(acl.bindings.size())));
    zel_out_printf(out, "    Rule db: %d\n", as_int(static_cast<uint32_t>(acl.sequences.size())));
    // Counters (each shown by its first action), classes and the first sequence of each policer, as
    // the sequences name them.
    std::map<std::string, std::pair<const zel_action *, uint32_t>> counters;
    std::set<std::string> classes;
    std::map<std::string, uint32_t> policer_seq;
    for (const auto &[num, seq] : acl.sequences)
        for (const auto &a : seq->actions) {
            if (a->param_type == ZEL_ACT_COUNT) {
                auto &c = counters.try_emplace(a->v.name, a.get(), 0).first->second;
                c.second++;
            } else if (a->param_type == ZEL_ACT_SET_FC)
                classes.insert(a->v.fc_name);
            else if (a->param_type == ZEL_ACT_POLICE)
                policer_seq.emplace(a->v.name, num);
        }
    zel_out_printf(out, "    Counter db: %d\n", as_int(static_cast<uint32_t>(counters.size())));
    for (const auto &[name, c] : counters)
        zel_out_printf(out, "        [%p] %s (#%d)\n", static_cast<const void *>(c.first), name.c_str(),
                       as_int(c.second));
    zel_out_printf(out, "    Class db: %d\n", as_int(static_cast<uint32_t>(classes.size())));
    zel_out_printf(out, "    Policer db: %d\n", as_int(static_cast<uint32_t>(acl.policers.size())));
    for (const auto &[name, count] : acl.policers) {
        const zel_policer *p = zel_config_policer_find(ctx, ZEL_LIST_SOURCE_LOCAL, name.c_str());
        if (acl.family == ZEL_ACL_V6) {
            zel_out_printf(out, "  Name: %s Type: %d Sequence Id: %d Policy Name: %s\n", name.c_str(),
                           as_int(ZEL_LIST_SOURCE_LOCAL), as_int(policer_seq[name]), acl.name.c_str());
            continue;
        }
        if (p)
            policer_lines(*p, acl.name.c_str(), "        ", out);
    }
    const zel_acl_key me = zel_acl_user_key(acl);
    std::vector<std::pair<const zel_pfx_list *, uint32_t>> pfx;
    for (const auto &[key, list] : ctx->policy_db->pfx_lists)
        if (auto it = list->acl_users.find(me); it != list->acl_users.end())
            pfx.emplace_back(list.get(), it->second);
    zel_out_printf(out, "    Pfx List db: %d\n", as_int(static_cast<uint32_t>(pfx.size())));
    for (const auto &[list, refs] : pfx)
        zel_out_printf(out, "      Pfx List: %s Type: %d Ref: %d\n", list->name.c_str(), as_int(list->source),
                       as_int(refs));
}

void access_lists_v4(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nAccess List Database\n");
    for (const auto &[name, acl] : ctx->policy_db->access_lists[ZEL_ACL_V4])
        access_list(ctx, *acl, out);
}

void access_lists_v6(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nAccess List IPv6 Database\n");
    for (const auto &[name, acl] : ctx->policy_db->access_lists[ZEL_ACL_V6])
        access_list(ctx, *acl, out);
}

// ---------------------------------------------------------------------------------------------------
// Lists and shared objects.

void vpn_lists(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nVPN List Database\n");
    for (const auto &[name, vl] : ctx->policy_db->vpn_lists) {
        zel_out_printf(out, "  VPN list: %s\n", name.c_str());
        zel_out_printf(out, "    VPN [%d] Policy [%d]\n", as_int(static_cast<uint32_t>(vl->ranges.size())),
                       as_int(static_cast<uint32_t>(vl->users.size())));
        for (const zel_vpn_range &r : vl->ranges)
            zel_out_printf(out, "      VPN: %lu-%lu\n", static_cast<unsigned long>(r.low),
                           static_cast<unsigned long>(r.high));
        int i = 0;
        for (const zel_policy_key &u : vl->users)
            zel_out_printf(out, "      Policy: %s Type: %d [#%d]\n", u.name.c_str(), as_int(u.type), ++i);
    }
}

void prefix_lists(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nPrefix List Database\n");
    for (const auto &[key, list] : ctx->policy_db->pfx_lists) {
        zel_out_printf(out, "  Prefix list: %s Type: %d\n", list->name.c_str(), as_int(list->source));
        for (const auto &[user, refs] : list->policy_users)
            zel_out_printf(out, "    Policy: %s %s type: %d Ref: %d\n", user.policy.name.c_str(), user.vpn_list.c_str(),
                           as_int(user.policy.type), as_int(refs));
        for (const auto &[user, refs] : list->acl_users)
            zel_out_printf(out, "    ACL: %s Type: %d Ref: %d\n", user.name.c_str(), as_int(user.family), as_int(refs));
    }
}

void tloc_lists(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nTLOC List Database\n");
    for (const auto &[key, list] : ctx->policy_db->tloc_lists) {
        const auto &[seq, type, policy, vpn_list] = key;
        zel_out_printf(out, "  TLOC list [%d]: %s - %s Sequence: %d\n", as_int(type), policy.c_str(), vpn_list.c_str(),
                       as_int(seq));
        zel_out_printf(out, "    TLOCs [%d]\n", as_int(static_cast<uint32_t>(list->entries.size())));
        for (const auto &[idx, e] : list->entries)
            zel_out_printf(out, "        [Idx: %d] VPN Label: %d Preference: %d %s\n", as_int(idx), as_int(e.vpn_label),
                           as_int(e.preference), tloc_text(e.tloc).c_str());
    }
}

void tlocs(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nTLOC Database\n");
    if (ctx->kro_peers.avl_compar == nullptr)
        return;
    for (auto *p = static_cast<zel_kro_peer *>(avl_first(&ctx->kro_peers)); p;
         p = static_cast<zel_kro_peer *>(avl_walk(&ctx->kro_peers, p, AVL_AFTER))) {
        zel_out_printf(out, "  Idx: %d %s\n", as_int(p->tloc_index), tloc_text(p->key).c_str());
        zel_out_printf(out, "    Pref: %u, Weight: %u, Status: %u, Resolved: %u, Local: %u\n", p->pref, p->weight,
                       p->state, p->resolved, p->flags & 1u);
        for (auto *r = static_cast<zel_kro_ref *>(avl_first(&p->refs)); r;
             r = static_cast<zel_kro_ref *>(avl_walk(&p->refs, r, AVL_AFTER))) {
            const auto *ref = static_cast<const zel_tloc_ref *>(r->p_rec);
            zel_out_printf(out, "      Rule Name: [%d] %s - %s, Id: %u (#%d)\n",
                           ref->policy ? as_int(ref->policy->type) : 0, ref->policy ? ref->policy->name.c_str() : "",
                           ref->pvl ? ref->pvl->name.c_str() : "", ref->seq ? ref->seq->number : 0, as_int(ref->count));
        }
    }
}

void mirrors(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nMirror Database\n");
    for (const auto &[name, m] : ctx->policy_db->mirrors) {
        zel_out_printf(out, "  %s type: %d\n", name.c_str(), as_int(m->number));
        zel_out_printf(out, "    Ref: %u\n", m->refs);
        for (const std::string &intf : m->interfaces)
            zel_out_printf(out, "        Interface: %s\n", intf.c_str());
        for (const zel_mirror_dest &d : m->dests)
            zel_out_printf(out, "        Remote Dest: %s Source: %s\n", addr_text(d.dst).c_str(),
                           addr_text(d.src).c_str());
    }
}

void policers(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nPolicer Database\n");
    for (const auto &[key, p] : ctx->policy_db->policers) {
        policer_lines(*p, "", "    ", out);
        zel_out_printf(out, "    Instance Ref: %u\n", static_cast<unsigned>(p->instances.size()));
        for (const auto &[name, inst] : p->instances)
            zel_out_printf(out, "        Key: Name: %d.%s Type: %d Policy Name: %s\n", p->id, p->name.c_str(),
                           as_int(p->source), name.c_str());
    }
}

void classes(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nClass Database\n");
    if (ctx->fc_table.avl_compar == nullptr)
        return;
    for (auto *c = static_cast<zel_fwd_class *>(avl_first(&ctx->fc_table)); c;
         c = static_cast<zel_fwd_class *>(avl_walk(&ctx->fc_table, c, AVL_AFTER)))
        zel_out_printf(out, "  %s class: %d queue: %d ignore: %d\n", c->info.name, as_int(c->info.id), c->info.queue,
                       0);
}

void sla_classes(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nSLA Class Database\n");
    avl_tree_t *t = &ctx->policy_db->sla_classes;
    if (t->avl_compar == nullptr)
        return;
    for (auto *c = static_cast<zel_sla_class *>(avl_first(t)); c;
         c = static_cast<zel_sla_class *>(avl_walk(t, c, AVL_AFTER)))
        zel_out_printf(out, "  %s id: %d\n", c->name, c->id);
}

void app_lists(zel_ctx *ctx, const zel_out_sink *out)
{
    zel_out_printf(out, "\nAPP-List Database\n");
    for (const auto &[key, list] : ctx->policy_db->app_lists) {
        zel_out_printf(out, "  %s Loc: %d app-id db: %d vpn ref: %d acl ref: %d\n", list->name.c_str(),
                       as_int(list->source), as_int(static_cast<uint32_t>(list->entries.size())),
                       as_int(static_cast<uint32_t>(list->policy_users.size())),
                       as_int(static_cast<uint32_t>(list->acl_users.size())));
        for (const auto &[user, refs] : list->policy_users)
            zel_out_printf(out, "        VPN list: %s Policy name: %s, Policy type: %d Ref: %d\n",
                           user.vpn_list.c_str(), user.policy.name.c_str(), as_int(user.policy.type), as_int(refs));
        zel_out_printf(out, "    App-Id DB:\n");
        for (const auto &[id, name] : list->entries) {
            const char *engine =
                list->kind == ZEL_APP_LIST_KIND_FAMILIES ? zel_dpi_family_engine_name(id) : zel_dpi_app_name(id);
            zel_out_printf(out, "        App: %d Qosmos: %s Name: %s\n", as_int(id), engine ? engine : "",
                           name.c_str());
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Filters, message queues, the packet-buffer pool.

void filter_summary(zel_ctx *, const zel_out_sink *out) { zel_dp_show_filter_summary(out); }
void memory_map(zel_ctx *, const zel_out_sink *out) { zel_dp_show_memory_map(out); }
void filters(zel_ctx *, const zel_out_sink *out) { zel_dp_show_filters(out); }

void msgqs(zel_ctx *, const zel_out_sink *out)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    if (f == nullptr)
        return;
    msgq_dump_all(f);
    fclose(f);
    zel_out_printf(out, "%.*s", static_cast<int>(len), text);
    free(text);
}

// The forwarding plane's packet-buffer pool: its header and the blocks in use (at most 64).
void packet_pool(zel_ctx *, const zel_out_sink *out)
{
    auto *ctrl = fp_shmem_base() ? static_cast<uint8_t *>(fp_table(FP_TBL_FPA_POOL)) : nullptr;
    auto *pool = reinterpret_cast<mempool_t *>(ctrl);
    if (pool == nullptr || mempool_block_size(pool) == 0)
        return;
    mempool_dump_stats(pool, out);
    mempool_dump_inuse(pool, ctrl + fp_round128(mempool_meta_size(mempool_nblks(pool))), 64, out);
}

void dpi_configuration(zel_ctx *ctx, const zel_out_sink *out) { zel_dpi_show_configuration(ctx, out); }

using zel_dump_section = void (*)(zel_ctx *ctx, const zel_out_sink *out);

// The sections of dump-all, in order.
constexpr zel_dump_section kAllSections[] = {
    filter_info, policies, access_lists_v4, access_lists_v6, vpn_lists,      prefix_lists, tloc_lists, tlocs, mirrors,
    policers,    classes,  sla_classes,     app_lists,       filter_summary, memory_map,   filters,    msgqs,
};
// Its first sections are the model: what the configuration dump prints.
constexpr size_t kModelSections = 13;

// A command's text is gathered and handed to the session in large pieces: each write is a round trip
// to the configuration database.
class cli_session
{
public:
    cli_session(int sock, int usid) : sock_(sock), usid_(usid) {}
    cli_session(const cli_session &) = delete;
    cli_session &operator=(const cli_session &) = delete;
    ~cli_session() { flush(); }
    const zel_out_sink *sink() const { return &sink_; }

private:
    static constexpr size_t kChunk = 64 * 1024;
    static void write(void *arg, const char *text, size_t len)
    {
        auto *s = static_cast<cli_session *>(arg);
        s->buf_.append(text, len);
        if (s->buf_.size() >= kChunk)
            s->flush();
    }
    void flush()
    {
        if (!buf_.empty())
            maapi_cli_write(sock_, usid_, buf_.data(), static_cast<int>(buf_.size()));
        buf_.clear();
    }
    int sock_;
    int usid_;
    std::string buf_;
    zel_out_sink sink_{write, this};
};

// Runs the sections, in order, into the requesting CLI session. 0; -1 without a daemon context.
int to_cli(const confd_user_info *uinfo, std::span<const zel_dump_section> sections)
{
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (ctx == nullptr || ctx->policy_db == nullptr)
        return -1;
    const auto *cfgd = static_cast<const cfgd_context *>(uinfo->dx->d_opaque);
    cli_session session(cfgd->maapi_sock, uinfo->usid);
    for (zel_dump_section s : sections)
        s(ctx, session.sink());
    return 0;
}

template <zel_dump_section... S>
int dump(const confd_user_info *uinfo)
{
    static constexpr zel_dump_section kSections[] = {S...};
    return to_cli(uinfo, kSections);
}

}  // namespace

int zel_dump_admin_tech(confd_user_info *u, char *, int, char **)
{
    const int rc = to_cli(u, kAllSections);
    return rc != 0 ? rc : dump<packet_pool, dpi_configuration>(u);
}
int zel_dump_filter(confd_user_info *u, char *, int, char **) { return dump<filters>(u); }
int zel_dump_msgq(confd_user_info *u, char *, int, char **) { return dump<msgqs>(u); }
int zel_dump_memory_stats(confd_user_info *u, char *, int, char **) { return dump<filter_summary, packet_pool>(u); }
int zel_dump_memory_map(confd_user_info *u, char *, int, char **) { return dump<memory_map>(u); }
int zel_dump_config(confd_user_info *u, char *, int, char **)
{
    return to_cli(u, std::span(kAllSections).first(kModelSections));
}
int zel_dump_policy(confd_user_info *u, char *, int, char **) { return dump<policies>(u); }
int zel_dump_acl(confd_user_info *u, char *, int, char **) { return dump<access_lists_v4>(u); }
int zel_dump_acl6(confd_user_info *u, char *, int, char **) { return dump<access_lists_v6>(u); }
int zel_dump_vpn_list(confd_user_info *u, char *, int, char **) { return dump<vpn_lists>(u); }
int zel_dump_prefix_list(confd_user_info *u, char *, int, char **) { return dump<prefix_lists>(u); }
int zel_dump_tloc_list(confd_user_info *u, char *, int, char **) { return dump<tloc_lists>(u); }
int zel_dump_tloc(confd_user_info *u, char *, int, char **) { return dump<tlocs>(u); }
int zel_dump_mirror(confd_user_info *u, char *, int, char **) { return dump<mirrors>(u); }
int zel_dump_policer(confd_user_info *u, char *, int, char **) { return dump<policers>(u); }
int zel_dump_class(confd_user_info *u, char *, int, char **) { return dump<classes>(u); }
int zel_dump_sla_class(confd_user_info *u, char *, int, char **) { return dump<sla_classes>(u); }
int zel_dump_all(confd_user_info *u, char *, int, char **) { return to_cli(u, kAllSections); }
int zel_dump_app_list(confd_user_info *u, char *, int, char **) { return dump<app_lists>(u); }
