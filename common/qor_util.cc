#include "common/qor_util.h"

#include "common/zel_log.h"

#include <array>
#include <cerrno>
#include <cstdio>

namespace
{

using name_buf = std::array<char, 16>;

constexpr name_buf make_name(const char *s)
{
    name_buf b{};
    for (size_t i = 0; s[i] != '\0' && i + 1 < b.size(); i++)
        b[i] = s[i];
    return b;
}

// Identifiers without a daemon of their own are named "daemon<N>".
constexpr name_buf numbered_name(uint32_t id)
{
    name_buf b = make_name("daemon");
    char digits[4]{};
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    size_t at = 6;
    while (n > 0)
        b[at++] = digits[--n];
    return b;
}

constexpr auto g_daemon_names = [] {
    std::array<name_buf, QOR_DAEMON_ID_MAX + 1> t{};
    for (uint32_t id = 0; id <= QOR_DAEMON_ID_MAX; id++)
        t[id] = numbered_name(id);
    t[QOR_DAEMON_ID_KROD] = make_name("krod");
    t[QOR_DAEMON_ID_PXRD] = make_name("pxrd");
    t[QOR_DAEMON_ID_SYSMGR] = make_name("sysmgrd");
    t[QOR_DAEMON_ID_ZELD] = make_name("zeld");
    return t;
}();

}  // namespace

const char *qor_util_daemon_name(uint32_t id)
{
    ZEL_ASSERT(id <= QOR_DAEMON_ID_MAX);
    return g_daemon_names[id].data();
}

int qor_util_read_pid(const char *path, int *err)
{
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        if (err != nullptr)
            *err = errno;
        return -1;
    }
    int pid = 0;
    if (fscanf(f, "%d", &pid) != 1)
        pid = 0;
    fclose(f);
    return pid;
}

int qor_util_daemon_pid(const char *name, unsigned long instance, int *err)
{
    char path[256];
    snprintf(path, sizeof path, "/var/run/%s.%lu.pid", name, instance);
    return qor_util_read_pid(path, err);
}
