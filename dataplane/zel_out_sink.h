// Where debug views write: a callback and its context, so that a show command can hand the text to
// the operator's session. A null sink means standard output.
#pragma once

#include <cstddef>
#include <cstdio>

struct zel_out_sink {
    void (*write)(void *arg, const char *text, size_t len);
    void *arg;
};

void zel_out_printf(const zel_out_sink *sink, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// A stream whose writes go to the sink (for printers that take a FILE); close it with fclose.
// Standard output for a null sink (do not close that one: use zel_out_close).
FILE *zel_out_open(const zel_out_sink *sink);
void zel_out_close(FILE *f);
