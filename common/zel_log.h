// Process-wide logging, event lines and assertions.
//
// Every diagnostic line names its function and source line. With bit 0x1 of
// the debug-flag word set, lines go to standard output as "func:line: msg";
// otherwise to syslog at LOG_LOCAL7|LOG_DEBUG as "func[line]: msg". Category
// lines (ZEL_DEBUG) are written only while their bit is set; ZEL_LOG lines
// always. Event lines carry the "%Ardenta-host-ZELD-sev-WORD-id: " prefix.
#pragma once

#include <cstdint>
#include <syslog.h>

// Debug-flag word bits.
inline constexpr uint64_t ZEL_DEBUG_STDOUT = 0x1;
inline constexpr uint64_t ZEL_DEBUG_CONFIG = 0x2;
inline constexpr uint64_t ZEL_DEBUG_KRO = 0x4;
inline constexpr uint64_t ZEL_DEBUG_DPI = 0x8;
inline constexpr uint64_t ZEL_DEBUG_POLICY = 0x10;
inline constexpr uint64_t ZEL_DEBUG_OFF = 0x20;                   // "debugging off" value
inline constexpr uint64_t ZEL_DEBUG_ALL = 0xFFFFFFFFFFFFFFFEull;  // every category, to syslog

extern uint64_t zel_debug_flags;

// Event identifiers.
inline constexpr int ZEL_EVENT_START = 1100001;
inline constexpr int ZEL_EVENT_POLICY_NO_MEMORY = 1100002;
inline constexpr int ZEL_EVENT_ACL_NO_MEMORY = 1100003;
inline constexpr int ZEL_EVENT_POLICY_REPROGRAMMED = 1100004;
inline constexpr int ZEL_EVENT_ACL_REPROGRAMMED = 1100005;
inline constexpr int ZEL_EVENT_POLICY_FAILED = 1100006;  // built or bound for a reason other than memory
inline constexpr int ZEL_EVENT_NOTIFICATION = 1400002;

inline constexpr const char *ZEL_MODULE_TAG = "ZELD";

// Host name used in event lines; "kDevice" until zel_log_set_host is called.
const char *zel_log_host();
void zel_log_set_host(const char *host);

// Opens syslog as "ZELD", LOG_PID | LOG_NDELAY, LOG_LOCAL7.
void zel_log_open();
void zel_log_close();

void zel_log_line(const char *func, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Severity 6 "INFO" at LOG_LOCAL7|LOG_INFO, severity 1 "ALRT" at LOG_LOCAL7|LOG_ALERT.
enum class zel_severity { info, alert };
void zel_event_line(zel_severity sev, int event_id, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

[[noreturn]] void zel_assert_fail(const char *file, unsigned line, const char *expr);

#define ZEL_LOG(...) zel_log_line(__func__, __LINE__, __VA_ARGS__)
#define ZEL_DEBUG(bit, ...)                                                                                            \
    do {                                                                                                               \
        if (zel_debug_flags & (bit))                                                                                   \
            zel_log_line(__func__, __LINE__, __VA_ARGS__);                                                             \
    } while (0)
#define ZEL_ASSERT(expr) ((expr) ? (void)0 : zel_assert_fail(__FILE__, __LINE__, #expr))
// For invariants whose failure line is part of the system's contract: a fixed unit name and line.
#define ZEL_ASSERT_AT(unit, line, expr) ((expr) ? (void)0 : zel_assert_fail(unit, line, #expr))
// For invariants whose printed text is part of the contract: the real condition is checked, the
// given text printed, so the line stays the same however the condition is spelled.
#define ZEL_INVARIANT(unit, text, cond) ((cond) ? (void)0 : zel_assert_fail(unit, __LINE__, text))
