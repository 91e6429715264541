#include "common/zel_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

uint64_t zel_debug_flags = 0;

namespace
{
char g_host[128] = "kDevice";
}

const char *zel_log_host() { return g_host; }

void zel_log_set_host(const char *host) { snprintf(g_host, sizeof g_host, "%s", host); }

void zel_log_open() { openlog(ZEL_MODULE_TAG, LOG_PID | LOG_NDELAY, LOG_LOCAL7); }

void zel_log_close() { closelog(); }

void zel_log_line(const char *func, int line, const char *fmt, ...)
{
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (zel_debug_flags & ZEL_DEBUG_STDOUT) {
        printf("%s:%d: %s\n", func, line, msg);
        fflush(stdout);
    } else {
        syslog(LOG_LOCAL7 | LOG_DEBUG, "%s[%d]: %s", func, line, msg);
    }
}

void zel_event_line(zel_severity sev, int event_id, const char *fmt, ...)
{
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    const bool alert = sev == zel_severity::alert;
    syslog(LOG_LOCAL7 | (alert ? LOG_ALERT : LOG_INFO), "%%Ardenta-%s-%s-%d-%s-%d: %s", g_host, ZEL_MODULE_TAG,
           alert ? 1 : 6, alert ? "ALRT" : "INFO", event_id, msg);
}

void zel_assert_fail(const char *file, unsigned line, const char *expr)
{
    // The unit name is the file's base name without its extension.
    std::string_view unit(file);
    if (auto slash = unit.rfind('/'); slash != std::string_view::npos)
        unit.remove_prefix(slash + 1);
    if (auto dot = unit.find('.'); dot != std::string_view::npos)
        unit = unit.substr(0, dot);
    fprintf(stderr, "%.*s:%u: failed assertion `%s'\n", static_cast<int>(unit.size()), unit.data(), line, expr);
    fflush(stderr);
    syslog(LOG_LOCAL7 | LOG_CRIT, "%.*s:%u: failed assertion `%s'", static_cast<int>(unit.size()), unit.data(), line,
           expr);
    abort();
}
