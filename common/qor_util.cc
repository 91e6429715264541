#include "common/qor_util.h"

#include "common/zel_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

// The daemons with a name of their own. A configuration module registers with ConfD under
// that name only where confd_named is set; the others register numbered.
struct named_daemon {
    uint32_t id;
    const char *name;
    bool confd_named;
};

constexpr named_daemon g_named_daemons[] = {
    {QOR_DAEMON_ID_KROD, "krod", false},
    {QOR_DAEMON_ID_PXRD, "pxrd", false},
    {QOR_DAEMON_ID_SYSMGR, "sysmgrd", false},
    {QOR_DAEMON_ID_ZELD, "zeld", true},
};

// Identifiers without a name of their own are "<filler><N>".
constexpr name_buf numbered_name(const char *filler, uint32_t id)
{
    name_buf b = make_name(filler);
    size_t at = 0;
    while (b[at] != '\0')
        at++;
    char digits[4]{};
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    while (n > 0)
        b[at++] = digits[--n];
    return b;
}

constexpr auto name_table(const char *filler, bool confd)
{
    std::array<name_buf, QOR_DAEMON_ID_MAX + 1> t{};
    for (uint32_t id = 0; id <= QOR_DAEMON_ID_MAX; id++)
        t[id] = numbered_name(filler, id);
    for (const named_daemon &d : g_named_daemons)
        if (!confd || d.confd_named)
            t[d.id] = make_name(d.name);
    return t;
}

constexpr auto g_daemon_names = name_table("daemon", false);
constexpr auto g_confd_module_names = name_table("module-", true);

}  // namespace

const char *qor_util_daemon_name(uint32_t id)
{
    ZEL_ASSERT(id <= QOR_DAEMON_ID_MAX);
    return g_daemon_names[id].data();
}

const char *qor_util_confd_module_name(uint32_t id)
{
    ZEL_ASSERT(id <= QOR_DAEMON_ID_MAX);
    return g_confd_module_names[id].data();
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

int qor_util_daemon_lock(const char *name, unsigned long instance, int *holder_pid)
{
    char path[256];
    snprintf(path, sizeof path, "/var/run/%s.%lu.lock", name, instance);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -2;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK && holder_pid != nullptr) {
            // The holder records its pid right after it takes the lock; that moment may be now.
            *holder_pid = 0;
            char buf[16] = {};
            if (pread(fd, buf, sizeof buf - 1, 0) > 0)
                sscanf(buf, "%d", holder_pid);
        }
        close(fd);
        errno = err;
        return err == EWOULDBLOCK ? -1 : -2;
    }
    qor_util_lock_record_pid(fd);
    return fd;
}

void qor_util_lock_record_pid(int lock_fd)
{
    char buf[16];
    int n = snprintf(buf, sizeof buf, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(lock_fd, 0) != 0 || pwrite(lock_fd, buf, static_cast<size_t>(n), 0) != n) {
        // Only the message of a refused second instance loses the pid.
    }
}
