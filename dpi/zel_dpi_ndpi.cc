// The inspection engine on nDPI 4.2.
//
// nDPI has no parameter record, no exception hook and no error codes: a failed start is a null
// module. The adapter gives the nearest honest equivalents: the start options are nDPI's load
// preferences, there is no exception hook to register, and the codes are its own (-1 the module
// could not be made, -2 nothing started) with fixed texts.
#include "dpi/zel_dpi_ndpi.h"

#include <ndpi/ndpi_api.h>

#include <cstring>
#include <string>

#include "common/zel_app_family.h"
#include "dataplane/fp_common.h"
#include "dpi/zel_dpi_engine.h"

namespace
{

// Every nDPI protocol, custom ones included, has an identifier that indexes the shared tables.
static_assert(zel_ndpi_app_id(NDPI_NUM_BITS) < FP_NUM_DPI_PROTO_FAMILY_MAPPING);

constexpr int ZEL_NDPI_ERR_INIT = -1;
constexpr int ZEL_NDPI_ERR_NOT_STARTED = -2;

consteval uint32_t family(std::string_view engine_name)
{
    for (uint32_t i = 1; i <= ZEL_DPI_NUM_FAMILIES; i++)
        if (engine_name == zel_dpi_families[i].engine)
            return i;
    throw "not a family name";
}

// The family of each nDPI category; 0 where none fits (nDPI's unspecified and user categories).
constexpr zel_ndpi_category_family kCategories[] = {
    {NDPI_PROTOCOL_CATEGORY_UNSPECIFIED, 0},
    {NDPI_PROTOCOL_CATEGORY_MEDIA, family("Audio/Video")},
    {NDPI_PROTOCOL_CATEGORY_VPN, family("Tunneling")},
    {NDPI_PROTOCOL_CATEGORY_MAIL, family("Mail")},
    {NDPI_PROTOCOL_CATEGORY_DATA_TRANSFER, family("File Transfer")},
    {NDPI_PROTOCOL_CATEGORY_WEB, family("Web")},
    {NDPI_PROTOCOL_CATEGORY_SOCIAL_NETWORK, family("Web")},
    {NDPI_PROTOCOL_CATEGORY_DOWNLOAD_FT, family("File Transfer")},
    {NDPI_PROTOCOL_CATEGORY_GAME, family("Game")},
    {NDPI_PROTOCOL_CATEGORY_CHAT, family("Instant Messaging")},
    {NDPI_PROTOCOL_CATEGORY_VOIP, family("Telephony")},
    {NDPI_PROTOCOL_CATEGORY_DATABASE, family("Database")},
    {NDPI_PROTOCOL_CATEGORY_REMOTE_ACCESS, family("Terminal")},
    {NDPI_PROTOCOL_CATEGORY_CLOUD, family("Application Service")},
    {NDPI_PROTOCOL_CATEGORY_NETWORK, family("Network Service")},
    {NDPI_PROTOCOL_CATEGORY_COLLABORATIVE, family("Application Service")},
    {NDPI_PROTOCOL_CATEGORY_RPC, family("Middleware")},
    {NDPI_PROTOCOL_CATEGORY_STREAMING, family("Audio/Video")},
    {NDPI_PROTOCOL_CATEGORY_SYSTEM_OS, family("Network Service")},
    {NDPI_PROTOCOL_CATEGORY_SW_UPDATE, family("Application Service")},
    {NDPI_PROTOCOL_CATEGORY_CUSTOM_1, 0},
    {NDPI_PROTOCOL_CATEGORY_CUSTOM_2, 0},
    {NDPI_PROTOCOL_CATEGORY_CUSTOM_3, 0},
    {NDPI_PROTOCOL_CATEGORY_CUSTOM_4, 0},
    {NDPI_PROTOCOL_CATEGORY_CUSTOM_5, 0},
    {NDPI_PROTOCOL_CATEGORY_MUSIC, family("Audio/Video")},
    {NDPI_PROTOCOL_CATEGORY_VIDEO, family("Audio/Video")},
    {NDPI_PROTOCOL_CATEGORY_SHOPPING, family("Web")},
    {NDPI_PROTOCOL_CATEGORY_PRODUCTIVITY, family("Application Service")},
    {NDPI_PROTOCOL_CATEGORY_FILE_SHARING, family("File Transfer")},
    {NDPI_PROTOCOL_CATEGORY_CONNECTIVITY_CHECK, family("Network Service")},
    {NDPI_PROTOCOL_CATEGORY_IOT_SCADA, family("Application Service")},
    {NDPI_PROTOCOL_CATEGORY_VIRTUAL_ASSISTANT, family("Application Service")},
    {CUSTOM_CATEGORY_MINING, family("Application Service")},
    {CUSTOM_CATEGORY_ANTIMALWARE, family("Antivirus")},
};

// Protocols whose category is too coarse for their family.
constexpr zel_ndpi_family_override kOverrides[] = {
    {NDPI_PROTOCOL_BITTORRENT, family("Peer to Peer")},
    {NDPI_PROTOCOL_EDONKEY, family("Peer to Peer")},
    {NDPI_PROTOCOL_GNUTELLA, family("Peer to Peer")},
    {NDPI_PROTOCOL_FASTTRACK, family("Peer to Peer")},
    {NDPI_PROTOCOL_OPENFT, family("Peer to Peer")},
    {NDPI_PROTOCOL_APPLEJUICE, family("Peer to Peer")},
    {NDPI_PROTOCOL_DIRECTCONNECT, family("Peer to Peer")},
    {NDPI_PROTOCOL_THUNDER, family("Peer to Peer")},
    {NDPI_PROTOCOL_STEALTHNET, family("Peer to Peer")},
    {NDPI_PROTOCOL_AIMINI, family("Peer to Peer")},
    {NDPI_PROTOCOL_KONTIKI, family("Peer to Peer")},
    {NDPI_PROTOCOL_HOTMAIL, family("Webmail")},
    {NDPI_PROTOCOL_GMAIL, family("Webmail")},
    {NDPI_PROTOCOL_LOTUS_NOTES, family("Mail")},
    {NDPI_PROTOCOL_MSTEAMS, family("Telephony")},
    {NDPI_PROTOCOL_ZOOM, family("Telephony")},
    {NDPI_PROTOCOL_SMPP, family("Telephony")},
    {NDPI_PROTOCOL_DISCORD, family("Instant Messaging")},
    {NDPI_PROTOCOL_SLACK, family("Instant Messaging")},
    {NDPI_PROTOCOL_JABBER, family("Instant Messaging")},
    {NDPI_PROTOCOL_USENET, family("Forum")},
    {NDPI_PROTOCOL_REDDIT, family("Forum")},
    {NDPI_PROTOCOL_RDP, family("Thin Client")},
    {NDPI_PROTOCOL_VNC, family("Thin Client")},
    {NDPI_PROTOCOL_XDMCP, family("Thin Client")},
    {NDPI_PROTOCOL_CITRIX, family("Thin Client")},
    {NDPI_PROTOCOL_TEAMVIEWER, family("Thin Client")},
    {NDPI_PROTOCOL_ANYDESK, family("Thin Client")},
    {NDPI_PROTOCOL_VMWARE, family("Thin Client")},
    {NDPI_PROTOCOL_NFS, family("File Server")},
    {NDPI_PROTOCOL_AFP, family("File Server")},
    {NDPI_PROTOCOL_SMBV1, family("File Server")},
    {NDPI_PROTOCOL_SMBV23, family("File Server")},
    {NDPI_PROTOCOL_DROPBOX, family("File Transfer")},
    {NDPI_PROTOCOL_GOOGLE_DRIVE, family("File Transfer")},
    {NDPI_PROTOCOL_MS_ONE_DRIVE, family("File Transfer")},
    {NDPI_PROTOCOL_UBUNTUONE, family("File Transfer")},
    {NDPI_PROTOCOL_BGP, family("Routing")},
    {NDPI_PROTOCOL_IP_OSPF, family("Routing")},
    {NDPI_PROTOCOL_IP_EGP, family("Routing")},
    {NDPI_PROTOCOL_IP_VRRP, family("Routing")},
    {NDPI_PROTOCOL_LISP, family("Routing")},
    {NDPI_PROTOCOL_IP_GRE, family("Tunneling")},
    {NDPI_PROTOCOL_IP_IP_IN_IP, family("Tunneling")},
    {NDPI_PROTOCOL_TEREDO, family("Tunneling")},
    {NDPI_PROTOCOL_AYIYA, family("Tunneling")},
    {NDPI_PROTOCOL_CAPWAP, family("Tunneling")},
    {NDPI_PROTOCOL_GTP, family("Tunneling")},
    {NDPI_PROTOCOL_GTP_U, family("Tunneling")},
    {NDPI_PROTOCOL_GTP_C, family("Tunneling")},
    {NDPI_PROTOCOL_GTP_PRIME, family("Tunneling")},
    {NDPI_PROTOCOL_TLS, family("Encrypted")},
    {NDPI_PROTOCOL_DTLS, family("Encrypted")},
    {NDPI_PROTOCOL_SNMP, family("Network Management")},
    {NDPI_PROTOCOL_NETFLOW, family("Network Management")},
    {NDPI_PROTOCOL_SFLOW, family("Network Management")},
    {NDPI_PROTOCOL_SYSLOG, family("Network Management")},
    {NDPI_PROTOCOL_COLLECTD, family("Network Management")},
    {NDPI_PROTOCOL_ZABBIX, family("Network Management")},
    {NDPI_PROTOCOL_CHECKMK, family("Network Management")},
    {NDPI_PROTOCOL_NTOP, family("Network Management")},
    {NDPI_PROTOCOL_UBNTAC2, family("Network Management")},
    {NDPI_PROTOCOL_OOKLA, family("Network Management")},
    {NDPI_PROTOCOL_EAQ, family("Network Management")},
    {NDPI_PROTOCOL_TARGUS_GETDATA, family("Network Management")},
    {NDPI_PROTOCOL_KERBEROS, family("Authentication")},
    {NDPI_PROTOCOL_RADIUS, family("Authentication")},
    {NDPI_PROTOCOL_DIAMETER, family("Authentication")},
    {NDPI_PROTOCOL_LDAP, family("Authentication")},
    {NDPI_PROTOCOL_OCSP, family("Security Service")},
    {NDPI_PROTOCOL_AVAST_SECUREDNS, family("Security Service")},
    {NDPI_PROTOCOL_IP_ICMP, family("Standard")},
    {NDPI_PROTOCOL_IP_ICMPV6, family("Standard")},
    {NDPI_PROTOCOL_IP_IGMP, family("Standard")},
    {NDPI_PROTOCOL_IP_SCTP, family("Standard")},
    {NDPI_PROTOCOL_IPP, family("Printer")},
    {NDPI_PROTOCOL_BJNP, family("Printer")},
    {NDPI_PROTOCOL_REMOTE_SCAN, family("Printer")},
    {NDPI_PROTOCOL_MEMCACHED, family("Database")},
    {NDPI_PROTOCOL_SAP, family("ERP")},
    {NDPI_PROTOCOL_SALESFORCE, family("ERP")},
    {NDPI_PROTOCOL_MICROSOFT_365, family("Microsoft Office")},
    {NDPI_PROTOCOL_AMAZON_VIDEO, family("Audio/Video")},
    {NDPI_PROTOCOL_CROSSFIRE, family("Game")},
    {NDPI_PROTOCOL_BLOOMBERG, family("Application Service")},
    {NDPI_PROTOCOL_S7COMM, family("Application Service")},
    {NDPI_PROTOCOL_ETHERNET_IP, family("Application Service")},
    {NDPI_PROTOCOL_GITHUB, family("Web")},
    {NDPI_PROTOCOL_GITLAB, family("Web")},
    {NDPI_PROTOCOL_GOOGLE_DOCS, family("Web")},
    {NDPI_PROTOCOL_GOOGLE_CLASSROOM, family("Web")},
    {NDPI_PROTOCOL_PASTEBIN, family("Web")},
};

class ndpi_engine final : public zel_dpi_engine
{
public:
    ~ndpi_engine() override { shutdown(); }

    int init(const zel_dpi_params &params) override
    {
        shutdown();
        // The daemon only reads the catalogue: it needs neither the Tor host list nor the
        // cryptography that QUIC inspection uses.
        const ndpi_init_prefs prefs = params.catalogue_only
                                          ? ndpi_init_prefs{ndpi_dont_load_tor_hosts | ndpi_dont_init_libgcrypt}
                                          : ndpi_init_prefs{ndpi_no_prefs};
        mod_ = ndpi_init_detection_module(prefs);
        return mod_ != nullptr ? 0 : ZEL_NDPI_ERR_INIT;
    }

    int enable_all() override
    {
        if (mod_ == nullptr)
            return ZEL_NDPI_ERR_NOT_STARTED;
        NDPI_PROTOCOL_BITMASK all;
        NDPI_BITMASK_SET_ALL(all);
        ndpi_set_protocol_detection_bitmask2(mod_, &all);
        ndpi_finalize_initialization(mod_);
        return 0;
    }

    // nDPI's "Unknown" is the glue's "unclassified", which is no member of the catalogue.
    int walk(const std::function<void(const zel_dpi_proto &)> &fn) const override
    {
        if (mod_ == nullptr)
            return ZEL_NDPI_ERR_NOT_STARTED;
        const ndpi_proto_defaults_t *d = ndpi_get_proto_defaults(mod_);
        const unsigned n = ndpi_get_num_supported_protocols(mod_);
        for (unsigned i = 1; i < n; i++) {
            if (d[i].protoName == nullptr)
                continue;
            const uint32_t fam = zel_ndpi_family(d[i].protoId, d[i].protoCategory);
            const char *text = fam != 0 ? zel_dpi_family_engine_name(fam) : category_name(d[i].protoCategory);
            fn({zel_ndpi_app_id(d[i].protoId), d[i].protoName, d[i].protoName, text});
        }
        return 0;
    }

    const char *error_text(int code) const override
    {
        switch (code) {
        case ZEL_NDPI_ERR_INIT:
            return "engine initialisation failed";
        case ZEL_NDPI_ERR_NOT_STARTED:
            return "engine not started";
        default:
            return "unknown engine error";
        }
    }

    uint32_t id_of(std::string_view name) const override
    {
        char buf[128];
        if (mod_ == nullptr || name.empty() || name.size() >= sizeof buf)
            return 0;
        memcpy(buf, name.data(), name.size());
        buf[name.size()] = '\0';
        const int id = ndpi_get_protocol_id(mod_, buf);
        return id > 0 ? zel_ndpi_app_id(static_cast<uint16_t>(id)) : 0;
    }

    // The engine's own family text is nDPI's category name.
    std::optional<zel_dpi_proto> proto(uint32_t id) const override
    {
        if (mod_ == nullptr || id < 2 || id > ndpi_get_num_supported_protocols(mod_))
            return std::nullopt;
        const ndpi_proto_defaults_t &d = ndpi_get_proto_defaults(mod_)[zel_ndpi_proto_id(id)];
        if (d.protoName == nullptr)
            return std::nullopt;
        return zel_dpi_proto{id, d.protoName, d.protoName, category_name(d.protoCategory)};
    }

    const char *version() const override { return ndpi_revision(); }

    void shutdown() override
    {
        if (mod_ != nullptr)
            ndpi_exit_detection_module(mod_);
        mod_ = nullptr;
    }

private:
    const char *category_name(ndpi_protocol_category_t c) const
    {
        const char *n = ndpi_category_get_name(mod_, c);
        return n != nullptr ? n : "";
    }

    ndpi_detection_module_struct *mod_ = nullptr;
};

}  // namespace

std::span<const zel_ndpi_category_family> zel_ndpi_category_families() { return kCategories; }
std::span<const zel_ndpi_family_override> zel_ndpi_family_overrides() { return kOverrides; }

uint32_t zel_ndpi_family(uint16_t ndpi_proto, uint32_t category)
{
    for (const zel_ndpi_family_override &o : kOverrides)
        if (o.proto == ndpi_proto)
            return o.family;
    for (const zel_ndpi_category_family &c : kCategories)
        if (c.category == category)
            return c.family;
    return 0;
}

std::unique_ptr<zel_dpi_engine> zel_dpi_ndpi_engine() { return std::make_unique<ndpi_engine>(); }
