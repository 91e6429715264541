// Daemon identifiers, their names, and the pid files other components write for them.
#pragma once

#include <cstdint>

inline constexpr uint32_t QOR_DAEMON_ID_KROD = 2;
inline constexpr uint32_t QOR_DAEMON_ID_PXRD = 3;
inline constexpr uint32_t QOR_DAEMON_ID_SYSMGR = 7;
inline constexpr uint32_t QOR_DAEMON_ID_ZELD = 9;
inline constexpr uint32_t QOR_DAEMON_ID_MAX = 160;

// The daemon name of an identifier (0 .. QOR_DAEMON_ID_MAX); a larger identifier is fatal.
const char *qor_util_daemon_name(uint32_t id);
// The name a daemon's configuration module registers with ConfD (0 .. QOR_DAEMON_ID_MAX; a
// larger identifier is fatal), from the same table: zeld by its name, every other one "module-<N>".
const char *qor_util_confd_module_name(uint32_t id);

// The pid recorded in "/var/run/<name>.<instance>.pid": its first "%d" integer, 0 when the
// file holds none, -1 when it does not open (errno then goes to *err when err is given).
int qor_util_daemon_pid(const char *name, unsigned long instance, int *err);
// The same for an explicit pid-file path.
int qor_util_read_pid(const char *path, int *err);

// The lock beside the pid file, "/var/run/<name>.<instance>.lock": a socket path cannot be
// locked, so this is what keeps a second instance from taking over the first one's sockets.
// Returns the open descriptor holding the lock (keep it open for the life of the process;
// it survives daemon(3)). -1 when another process holds it: *holder_pid then gets the pid
// recorded in the file (0 when none). -2 when the file cannot be opened or locked (errno kept).
int qor_util_daemon_lock(const char *name, unsigned long instance, int *holder_pid);
// Records the current pid in a lock file held by qor_util_daemon_lock (after daemon(3)).
void qor_util_lock_record_pid(int lock_fd);
