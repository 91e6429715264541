// Test harness: a private cdb-sim per test (free port, temp state dir), the
// operator CLI, and subscriber threads that record what they are told.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/cdb/confd_cdb.h"
#include "platform/cdb/confd_maapi.h"

struct CliResult {
    int rc = -1;
    std::string out;
};

class Sim
{
public:
    explicit Sim(int phase = 2);  // -1: no --phase option
    ~Sim();
    void start(int phase, int port);
    void stop();
    int port() const { return port_; }
    sockaddr_in addr() const;
    // A socket connected with cdb_connect; -1 on failure.
    int cdb_socket(enum cdb_sock_type type);
    CliResult cli(const std::vector<std::string> &args);
    CliResult load(const std::string &json, bool replace = false);
    const std::string &state_dir() const { return dir_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Ordered record of what happened across threads.
class EventLog
{
public:
    void add(const std::string &e);
    std::vector<std::string> all();

private:
    std::mutex mu_;
    std::vector<std::string> events_;
};

struct Notification {
    enum cdb_sub_notification type;
    int flags;
    std::vector<int> ids;
};

// One subscription socket read by its own thread. The handler runs for every
// notification; the thread syncs afterwards unless the handler returns false.
class Subscriber
{
public:
    Subscriber(Sim &sim, const std::string &name);
    ~Subscriber();
    int subscribe(int prio, const std::string &path, enum cdb_sub_type type = CDB_SUB_RUNNING);
    void run(std::function<bool(Subscriber &, const Notification &)> handler);
    int sock() const { return sock_; }
    const std::string &name() const { return name_; }

private:
    int sock_ = -1;
    std::string name_;
    std::thread thread_;
};

// Keypath, operation and modifications of every change cdb_diff_iterate reports.
std::vector<std::string> diff_lines(int sock, int subid, bool recurse);
