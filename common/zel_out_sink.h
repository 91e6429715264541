// Where dumps and views write: a callback and its context, so that the compiler's dumps, the data
// plane's views and the operator commands hand their text to whoever asked (a CLI session, a test, a
// string). A null sink means standard output.
#pragma once

#include <cstddef>
#include <cstdio>

struct zel_out_sink {
    void (*write)(void *arg, const char *text, size_t len);
    void *arg;
};

void zel_out_printf(const zel_out_sink *sink, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
