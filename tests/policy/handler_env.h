// A policy environment whose configuration points call the handlers with ConfD keys and values
// built here, as the subscription engine hands them over.
#pragma once

#include <arpa/inet.h>

#include <deque>
#include <string>
#include <vector>

#include "policy/zel_handlers.h"
#include "policy_fixture.h"
#include "yang/zel_yang_hashes.h"

namespace policy_test
{

// Keys and values of one handler call; the strings and lists they point at live with the builder.
class Vals
{
public:
    Vals() = default;
    Vals(const Vals &) = delete;  // the values point into this builder
    Vals(Vals &&) = default;
    Vals &buf(uint32_t tag, const std::string &s) { return push(tag, key_buf(s)); }
    Vals &u8s(uint32_t tag, std::vector<uint8_t> xs)
    {
        auto &l = lists_.emplace_back();
        for (uint8_t x : xs) {
            confd_value_t e{};
            CONFD_SET_UINT8(&e, x);
            l.push_back(e);
        }
        return list(tag, l);
    }
    Vals &enums(uint32_t tag, std::vector<int32_t> xs)
    {
        auto &l = lists_.emplace_back();
        for (int32_t x : xs) {
            confd_value_t e{};
            CONFD_SET_ENUM_VALUE(&e, x);
            l.push_back(e);
        }
        return list(tag, l);
    }
    Vals &enm(uint32_t tag, int32_t x)
    {
        return set(tag, [&](confd_value_t *v) { CONFD_SET_ENUM_VALUE(v, x); });
    }
    Vals &u8(uint32_t tag, uint8_t x)
    {
        return set(tag, [&](confd_value_t *v) { CONFD_SET_UINT8(v, x); });
    }
    Vals &u32(uint32_t tag, uint32_t x)
    {
        return set(tag, [&](confd_value_t *v) { CONFD_SET_UINT32(v, x); });
    }
    Vals &boolean(uint32_t tag, bool x)
    {
        return set(tag, [&](confd_value_t *v) { CONFD_SET_BOOL(v, x); });
    }
    Vals &ipv4(uint32_t tag, const char *a) { return push(tag, key_ipv4(a)); }
    Vals &empty(uint32_t tag)
    {
        return set(tag, [&](confd_value_t *v) { CONFD_SET_XMLTAG(v, tag, zel_ns_policy); });
    }
    Vals &gone(uint32_t tag)
    {
        return set(tag, [](confd_value_t *v) { v->type = C_NOEXISTS; });
    }
    Vals &begin(uint32_t tag)
    {
        vals_.emplace_back();
        CONFD_SET_TAG_XMLBEGIN(&vals_.back(), tag, zel_ns_policy);
        return *this;
    }
    Vals &end(uint32_t tag)
    {
        vals_.emplace_back();
        CONFD_SET_TAG_XMLEND(&vals_.back(), tag, zel_ns_policy);
        return *this;
    }

    confd_value_t key_buf(const std::string &s)
    {
        const std::string &kept = strings_.emplace_back(s);
        confd_value_t v{};
        CONFD_SET_BUF(&v, kept.data(), kept.size());
        return v;
    }
    static confd_value_t key_u16(uint16_t x)
    {
        confd_value_t v{};
        CONFD_SET_UINT16(&v, x);
        return v;
    }
    static confd_value_t key_u32(uint32_t x)
    {
        confd_value_t v{};
        CONFD_SET_UINT32(&v, x);
        return v;
    }
    static confd_value_t key_ipv4(const char *a)
    {
        confd_value_t v{};
        in_addr ip;
        inet_pton(AF_INET, a, &ip);
        CONFD_SET_IPV4(&v, ip);
        return v;
    }
    static confd_value_t key_prefix(const std::string &p)
    {
        confd_value_t v{};
        v.type = C_IPV4PREFIX;
        inet_pton(AF_INET, p.substr(0, p.find('/')).c_str(), &v.val.ipv4prefix.ip);
        v.val.ipv4prefix.len = static_cast<uint8_t>(std::stoi(p.substr(p.find('/') + 1)));
        return v;
    }

    confd_tag_value_t *data() { return vals_.empty() ? nullptr : vals_.data(); }
    uint16_t size() const { return static_cast<uint16_t>(vals_.size()); }

private:
    template <typename F>
    Vals &set(uint32_t tag, F f)
    {
        confd_value_t v{};
        f(&v);
        return push(tag, v);
    }
    Vals &push(uint32_t tag, const confd_value_t &v)
    {
        vals_.emplace_back();
        CONFD_SET_TAG_TAG(&vals_.back(), tag, zel_ns_policy);
        vals_.back().v = v;
        return *this;
    }
    Vals &list(uint32_t tag, std::vector<confd_value_t> &l)
    {
        confd_value_t v{};
        CONFD_SET_LIST(&v, l.data(), static_cast<unsigned>(l.size()));
        return push(tag, v);
    }
    std::vector<confd_tag_value_t> vals_;
    std::deque<std::string> strings_;
    std::deque<std::vector<confd_value_t>> lists_;
};

struct HandlerEnv : PolicyEnv {
    cfgd_context cfgd{};
    cfgd_sub_point point{};

    explicit HandlerEnv(uint32_t blocks = 4096) : PolicyEnv(blocks)
    {
        cfgd.params.app_ctx = &ctx;
        point.context = &cfgd;
    }

    // One handler call with name keys (strings) or prepared keys.
    int call(cfgd_sub_handler h, cdb_iter_op op, std::vector<confd_value_t> keys, Vals &vals)
    {
        return h(&point, op, static_cast<uint8_t>(keys.size()), keys.data(), vals.size(), vals.data());
    }
    int call(cfgd_sub_handler h, cdb_iter_op op, std::vector<confd_value_t> keys)
    {
        Vals none;
        return call(h, op, std::move(keys), none);
    }
    std::vector<confd_value_t> names(std::vector<std::string> ns)
    {
        std::vector<confd_value_t> out;
        for (auto &n : ns)
            out.push_back(keys_.key_buf(n));
        return out;
    }
    std::vector<confd_value_t> seq_keys(const std::string &policy, const std::string &vpn_list, uint16_t seq)
    {
        auto k = names({policy, vpn_list});
        k.push_back(Vals::key_u16(seq));
        return k;
    }

    // A call for sequence n of data policy `policy` on vpn-list "V".
    int dseq(cdb_iter_op op, const std::string &policy, uint16_t n, Vals &vals)
    {
        return call(zel_config_data_policy_seq, op, seq_keys(policy, "V", n), vals);
    }
    int dseq(cdb_iter_op op, const std::string &policy, uint16_t n)
    {
        Vals none;
        return dseq(op, policy, n, none);
    }

    // A controller vpn-list with VPN entries and a data (or app-route) policy applied to it.
    void data_policy(const std::string &policy, const std::string &vpn_list, std::vector<std::string> vpns = {"10"},
                     uint32_t type = ZEL_POLICY_TYPE_DATA)
    {
        if (!zel_config_vpn_list_find(&ctx, vpn_list.c_str())) {
            ASSERT_EQ(call(zel_config_policy_vpn_list, MOP_CREATED, names({vpn_list})), 0);
            for (auto &v : vpns)
                ASSERT_EQ(call(zel_config_policy_vpn_id, MOP_CREATED, names({vpn_list, v})), 0);
        }
        const bool data = type == ZEL_POLICY_TYPE_DATA;
        zel_policy *p;
        if (zel_config_policy_find(&ctx, type, policy.c_str(), &p) != 0) {
            ASSERT_EQ(call(data ? zel_config_data_policy : zel_config_app_route_policy, MOP_CREATED, names({policy})),
                      0);
        }
        Vals v;
        if (data)
            v.enm(zel_tag_policy_default_action, 0);
        ASSERT_EQ(call(data ? zel_config_data_policy_vpn_list : zel_config_app_route_policy_vpn_list, MOP_CREATED,
                       names({policy, vpn_list}), v),
                  0);
    }
    void controller_pfx_list(const std::string &name, std::vector<std::string> prefixes)
    {
        ASSERT_EQ(call(zel_config_policy_pfx_list, MOP_CREATED, names({name})), 0);
        for (auto &p : prefixes) {
            auto k = names({name});
            k.push_back(Vals::key_prefix(p));
            ASSERT_EQ(call(zel_config_policy_pfx_list_ip, MOP_CREATED, k), 0);
        }
    }
    zel_sequence *seq(uint32_t type, const char *policy, const char *vpn_list, uint32_t n)
    {
        zel_sequence *s = nullptr;
        zel_config_rule_find(&ctx, type, policy, vpn_list, n, &s);
        return s;
    }

private:
    Vals keys_;
};

// The codes of a sequence's actions, in order.
inline std::vector<uint32_t> action_codes(const zel_sequence *s)
{
    std::vector<uint32_t> out;
    for (auto &a : s->actions)
        out.push_back(a->code);
    return out;
}

}  // namespace policy_test
