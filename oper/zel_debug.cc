// Debug categories switched at run time, mirrored by markers in operational data.
#include <array>
#include <cstring>

#include "cfgd/cfgd_api.h"
#include "cfgd/cfgd_util.h"
#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "oper/zel_oper_internal.h"

namespace
{

struct category {
    uint64_t bit;
    const char *marker;
};

// In the order disable-all removes them.
constexpr std::array kCategories{
    category{ZEL_DEBUG_CONFIG, "/debugs/zel/config"},
    category{ZEL_DEBUG_KRO, "/debugs/zel/kro"},
    category{ZEL_DEBUG_DPI, "/debugs/zel/dpi"},
    category{ZEL_DEBUG_POLICY, "/debugs/zel/policy"},
};
constexpr const char *kAllMarker = "/debugs/zel/all";

bool all_on() { return (zel_debug_flags | ZEL_DEBUG_STDOUT) == (ZEL_DEBUG_ALL | ZEL_DEBUG_STDOUT); }

// Queues the marker's creation or deletion; false (logged) when it cannot be queued.
bool marker(cfgd_context *cfgd, const char *path, int op)
{
    if (cfgd_set_cdb_oper_value(cfgd, nullptr, path, op, 1) == 0)
        return true;
    ZEL_LOG(op == CFGD_OPER_CREATE ? "Failed to create value in cdb %s (%d) : %s"
                                   : "Failed to delete value in cdb %s (%d) : %s",
            confd_strerror(confd_errno), confd_errno, confd_lasterr());
    return false;
}

int enable(const confd_user_info *uinfo, uint64_t bit, const char *path)
{
    if (zel_debug_flags == ZEL_DEBUG_ALL)
        return 0;
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (!marker(ctx ? ctx->cfg.cfgd : nullptr, path, CFGD_OPER_CREATE))
        return CONFD_ERR;
    zel_debug_flags |= bit;
    return 0;
}

}  // namespace

template <size_t I>
int zel_debug_one(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int)
{
    return enable(uinfo, kCategories[I].bit, kCategories[I].marker);
}
template int zel_debug_one<0>(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int);
template int zel_debug_one<1>(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int);
template int zel_debug_one<2>(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int);
template int zel_debug_one<3>(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int);

int zel_debug_disable_all(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int)
{
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    cfgd_context *cfgd = ctx ? ctx->cfg.cfgd : nullptr;
    if (all_on()) {
        if (!marker(cfgd, kAllMarker, CFGD_OPER_DELETE))
            return CONFD_ERR;
    } else {
        for (const category &c : kCategories)
            if ((zel_debug_flags & c.bit) && !marker(cfgd, c.marker, CFGD_OPER_DELETE))
                return CONFD_ERR;
    }
    cfgd_debug_off();
    zel_debug_flags = ZEL_DEBUG_OFF;
    return 0;
}

int zel_debug_all(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n)
{
    // Single categories give way to the one marker of "all".
    if (zel_debug_flags & (ZEL_DEBUG_CONFIG | ZEL_DEBUG_KRO | ZEL_DEBUG_DPI | ZEL_DEBUG_POLICY))
        zel_debug_disable_all(uinfo, name, kp, params, n);
    cfgd_debug_on(1);
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (!marker(ctx ? ctx->cfg.cfgd : nullptr, kAllMarker, CFGD_OPER_CREATE))
        return CONFD_ERR;
    zel_debug_flags = ZEL_DEBUG_ALL | (zel_debug_flags & ZEL_DEBUG_STDOUT);
    return 0;
}
