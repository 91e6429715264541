#include "dataplane/zel_out_sink.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace
{

ssize_t sink_write(void *cookie, const char *buf, size_t len)
{
    auto *sink = static_cast<const zel_out_sink *>(cookie);
    sink->write(sink->arg, buf, len);
    return static_cast<ssize_t>(len);
}

}  // namespace

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

FILE *zel_out_open(const zel_out_sink *sink)
{
    if (sink == nullptr || sink->write == nullptr)
        return stdout;
    cookie_io_functions_t io{};
    io.write = sink_write;
    return fopencookie(const_cast<zel_out_sink *>(sink), "w", io);
}

void zel_out_close(FILE *f)
{
    if (f == stdout)
        fflush(stdout);
    else if (f != nullptr)
        fclose(f);
}
