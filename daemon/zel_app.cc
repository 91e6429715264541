#include "common/qor_util.h"
#include "common/zel_log.h"
#include "daemon/zel.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

int zel_foreground = 0;

int appmain(int argc, char **argv)
{
    const char *name = qor_util_daemon_name(QOR_DAEMON_ID_ZELD);
    // Whoever starts the daemon writes this file; any pid in it means one runs already.
    int pid = qor_util_daemon_pid(name, 0, nullptr);
    if (pid >= 0) {
        ZEL_LOG("Daemon %s already exists @ pid %d", name, pid);
        return -1;
    }
    // Without a pid file a second instance would take over the first one's sockets.
    int holder = 0;
    const int lock_fd = qor_util_daemon_lock(name, 0, &holder);
    if (lock_fd == -1) {
        ZEL_LOG("Daemon %s already exists @ pid %d", name, holder);
        return -1;
    }
    if (lock_fd < 0)
        ZEL_LOG("Cannot lock the lock file of %s: %s", name, strerror(errno));

    static constexpr char usage[] = "usage: zeld [-f]\n";
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "fd")) != -1) {
        switch (opt) {
        case 'f':
            zel_foreground = 1;
            break;
        case 'd':
            zel_debug_flags = ZEL_DEBUG_ALL;
            break;
        default:
            if (write(STDERR_FILENO, usage, sizeof usage - 1) < 0) {
                // Nothing more to tell anyone.
            }
            exit(1);
        }
    }

    if (!zel_foreground && daemon(0, 0) != 0) {
        ZEL_LOG("Failed to daemonize process: %s", strerror(errno));
        exit(-1);
    }
    if (lock_fd >= 0)
        qor_util_lock_record_pid(lock_fd);

    int rc = zel_init(&g_zel_ctx);
    if (rc != 0)
        return rc;
    event_base_loop(g_zel_ctx.base, 0);
    zel_deinit(&g_zel_ctx);
    return 0;
}
