// zel_yang_hashgen YANG_DIR [OUT]: writes zel_yang_hashes.h for the modules in YANG_DIR to OUT
// (standard output when not given). Exit status 0, or 1 with a message on standard error.
#include "yang/zel_yang_schema.h"

#include <libyang/libyang.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s YANG_DIR [OUT]\n", argv[0]);
        return 1;
    }
    ly_log_options(LY_LOSTORE_LAST);
    ly_ctx *ctx = nullptr;
    std::string err;
    if (zel_yang_load(argv[1], &ctx, &err) != 0) {
        std::fprintf(stderr, "%s: %s\n", argv[0], err.c_str());
        return 1;
    }
    std::string text;
    int rc = zel_yang_generate_header(ctx, &text, &err);
    ly_ctx_destroy(ctx);
    if (rc != 0) {
        std::fprintf(stderr, "%s: %s\n", argv[0], err.c_str());
        return 1;
    }
    FILE *f = argc == 3 ? std::fopen(argv[2], "w") : stdout;
    if (!f) {
        std::perror(argv[2]);
        return 1;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != stdout)
        ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "%s: write failed\n", argv[0]);
        return 1;
    }
    return 0;
}
