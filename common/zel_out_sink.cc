#include "common/zel_out_sink.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void zel_out_printf(const zel_out_sink *sink, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (sink == nullptr || sink->write == nullptr) {
        vprintf(fmt, ap);
        va_end(ap);
        return;
    }
    char small[256];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        sink->write(sink->arg, small, static_cast<size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), fmt, again);
        sink->write(sink->arg, big.data(), static_cast<size_t>(n));
    }
    va_end(again);
    va_end(ap);
}
