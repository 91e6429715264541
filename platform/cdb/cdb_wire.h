// Wire protocol between cdb-sim and its clients (the confd_* library and cdb-cli).
//
// Transport: TCP on 127.0.0.1 (port 4565 unless CONFD_IPC_PORT or an option
// says otherwise). Every message is one frame:
//
//   u32 payload length | u32 op | payload
//
// all integers little-endian. Payload items are written and read in a fixed
// order per op with WireWriter / WireReader:
//   u8 / u32 / i32 / u64 / i64   fixed width
//   str                          u32 length + bytes (no terminator)
//   value                        u8 confd_vtype + type-specific body (see cdb_wire.cc)
//   tagvalue                     u32 tag, u32 ns, value
//   hkeypath                     u8 length, then per element innermost first: u8 n, n values
//
// The first frame on a connection is kOpHello {u8 ConnKind, str client name,
// u32 daemon id (worker sockets: the id returned to the control socket)}; the
// reply carries {u32 connection id, u32 daemon id}. Requests are answered by one
// kOpReply frame {i32 confd_errno (0 = ok), str message, op-specific body}, in
// request order. Requests flow client -> server on data, subscription, MAAPI,
// schema and CLI sockets, and server -> client on control and worker sockets
// (the daemon answers with kOpReply). Unsolicited frames: kOpNotify (server ->
// subscription socket), kOpNotifSend / kOpSnmpSend (daemon -> server on a
// worker socket, never answered) and kOpCliOutput (server -> CLI during a
// request). A subscription socket receives its next kOpNotify only after it has
// synced the previous one, so replies and notifications never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cdb/confd_lib.h"

namespace cdbwire
{

inline constexpr uint32_t kMaxFrame = 64u << 20;

enum ConnKind : uint8_t {
    kConnCdbRead = 0,  // CDB_READ_SOCKET
    kConnCdbSub = 1,   // CDB_SUBSCRIPTION_SOCKET
    kConnCdbData = 2,  // CDB_DATA_SOCKET
    kConnControl = 10,
    kConnWorker = 11,
    kConnMaapi = 12,
    kConnSchema = 13,
    kConnCli = 14,
};

enum Op : uint32_t {
    kOpHello = 1,
    kOpReply = 2,
    // CDB data sockets
    kOpStartSession = 10,  // u32 db, u32 flags
    kOpEndSession,
    kOpGet,           // str path -> value
    kOpExists,        // str path -> u8
    kOpNumInstances,  // str path -> i32
    kOpSetElem,       // str path, value
    kOpSetElem2,      // str path, str value
    kOpCreate,        // str path
    kOpDelete,        // str path
    kOpGetPhase,      // -> i32 phase, i32 flags
    kOpWaitStart,     // answered once the phase is at least 1
    kOpTrigger,       // u8 oper, u32 flags, u32 n, n x i32 ids; answered when delivered
    kOpGetTxid,       // -> u32 s1, u32 s2, u32 s3, str primary
    kOpTriggerSince,  // u32 n, n x (i32 id, u32 s1, u32 s2, u32 s3); answered when delivered
    // subscription sockets
    kOpSubscribe = 30,  // u32 type, u32 flags, i32 prio, u32 ns, str path -> i32 id
    kOpSubscribeDone,
    kOpNotify,    // server -> client: u32 type, u32 flags, u32 n, n x i32 ids
    kOpDiff,      // i32 subid -> u32 nroots, roots (see DiffNode encoding in cdb_diff)
    kOpSync,      // u32 sync type
    kOpSubAbort,  // u32 code, u32 apptag ns, u32 apptag tag, str message
    // daemon registration (control socket, client -> server)
    kOpRegDataCb = 50,  // str callpoint
    kOpRegActionCb,     // str actionpoint, u8 has_init, u8 has_action, u8 has_command
    kOpRegTransCb,      // u8 has_init
    kOpRegValpoint,     // str valpoint
    kOpRegStream,       // str stream
    kOpRegSnmp,         // str notify name, str context
    kOpRegDone,
    // server -> daemon
    kOpTransInit = 70,  // u32 th, u32 usid, str user, u32 db -> u32 worker connection id
    kOpTransFinish,     // u32 th
    kOpDataReq,         // u32 th, u8 DataKind, str callpoint, hkeypath, i64 next, u32 find type, u32 n, n values
    kOpActionInit,      // u32 usid, str user, str actionpoint -> u32 worker connection id
    kOpActionReq,       // u32 usid, str actionpoint, u8 command, tag name, hkeypath,
                        //   command: u32 argc, argc x str;  action: u32 n, n tagvalues
    // daemon -> server, unsolicited
    kOpNotifSend = 90,  // str stream, datetime (as value), u32 n, n tagvalues
    kOpSnmpSend,        // str notify name, str context, str notification, u32 n, n x (str name, value)
    // MAAPI
    kOpMaapiAttach = 100,
    kOpMaapiDetach,
    kOpMaapiCrypto,
    kOpCliWrite,  // u32 usid, str text
    // schema
    kOpSchemaGet = 110,
    // operator CLI
    kOpCliLoad = 120,  // u8 CliLoadMode, str json
    kOpCliDelete,      // str path
    kOpCliShowConfig,  // str path
    kOpCliShow,        // str callpoint, u32 n, n x str key, [u8 kCliShow* flags]
    kOpCliRequest,     // str action, u32 n, n x str (name, value alternating)
    kOpCliNotifs,
    kOpCliTraps,
    kOpCliStatus,
    kOpCliPhase,   // u32 phase
    kOpCliOutput,  // server -> CLI: str text
    kOpCliShowOper,  // str path: as kOpCliShowConfig, on the operational datastore
};

// How kOpCliLoad applies its document. Replacing by a document that holds nothing is
// refused: only kCliLoadClear empties the running configuration.
enum CliLoadMode : uint8_t { kCliLoadMerge = 0, kCliLoadReplace = 1, kCliLoadClear = 2 };
// kOpCliShow: the list's own keys start a listing (same or next) instead of naming one entry; the
// answer is a table instead of a JSON array.
enum CliShowFlags : uint8_t { kCliShowFrom = 0x1, kCliShowTable = 0x2 };

enum DataKind : uint8_t {
    kDataGetObject = 1,
    kDataGetNextObject = 2,
    kDataFindNextObject = 3,
    kDataGetElem = 4,
    kDataGetNext = 5,
    kDataExists = 6
};

// Body of the daemon's kOpReply to kOpDataReq: u8 ReplyKind then its data.
enum ReplyKind : uint8_t {
    kReplyNone = 0,
    kReplyNotFound = 1,
    kReplyFound = 2,
    kReplyValue = 3,             // value
    kReplyValueArray = 4,        // u32 n, values
    kReplyTagValueArray = 5,     // u32 n, tagvalues
    kReplyNextKey = 6,           // i32 n (-1 = end), values, i64 next
    kReplyNextObject = 7,        // i32 n (-1 = end), tagvalues, i64 next
    kReplyNextObjectValues = 8,  // i32 n (-1 = end), values, i64 next
};

class WireWriter
{
public:
    void u8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
    void u32(uint32_t v);
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void u64(uint64_t v);
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void str(std::string_view s);
    void bytes(const void *p, size_t n) { buf_.append(static_cast<const char *>(p), n); }
    void value(const confd_value_t &v);
    void tagvalue(const confd_tag_value_t &tv);
    void tagvalues(const confd_tag_value_t *tv, int n);
    void hkeypath(const confd_hkeypath_t &kp);
    // A frame ready to send: header + payload.
    std::string frame(uint32_t op) const;
    std::string &data() { return buf_; }

private:
    std::string buf_;
};

// Reads a payload; every accessor fails softly (ok() turns false, zeros are returned)
// so bad input from the peer is detected once at the end, never by a crash.
class WireReader
{
public:
    WireReader(const char *p, size_t n) : p_(p), end_(p + n) {}
    explicit WireReader(const std::string &s) : WireReader(s.data(), s.size()) {}
    uint8_t u8();
    uint32_t u32();
    int32_t i32() { return static_cast<int32_t>(u32()); }
    uint64_t u64();
    int64_t i64() { return static_cast<int64_t>(u64()); }
    std::string str();
    bool bytes(void *out, size_t n);
    // Decoded values own malloc'ed memory (C_BUF, C_STR, C_BINARY, C_LIST): confd_free_value releases it.
    bool value(confd_value_t *v);
    bool tagvalue(confd_tag_value_t *tv);
    // A malloc'ed array of n tag values; nullptr when n is 0 or on error.
    bool tagvalues(confd_tag_value_t **out, int *n);
    bool hkeypath(confd_hkeypath_t *kp);
    bool ok() const { return ok_; }
    bool at_end() const { return p_ == end_; }
    void fail() { ok_ = false; }

private:
    bool need(size_t n);
    const char *p_;
    const char *end_;
    bool ok_ = true;
};

uint32_t fnv1a_hash(std::string_view s);

// s as a JSON string literal, quotes included.
std::string json_quote(const std::string &s);

// Blocking frame I/O on a socket (client side). read_frame returns 0, CONFD_EOF on
// orderly close, or CONFD_ERR (confd_errno set).
int write_all(int fd, const std::string &data);
int read_frame(int fd, uint32_t *op, std::string *payload);

}  // namespace cdbwire
