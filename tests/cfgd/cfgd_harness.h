// A private cdb-sim per test and an event loop that drives a cfgd module.
#pragma once

#include <event2/event.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "cfgd/cfgd_api.h"

struct timer_mgr;

class CdbSim
{
public:
    CdbSim();
    ~CdbSim();
    // Starts on `port` (0: any free port) and points CONFD_IPC_PORT at it.
    bool start(int port = 0);
    void stop();
    int port() const { return port_; }
    // Runs cdb-cli; returns its exit code and fills *out with stdout and stderr.
    int cli(const std::vector<std::string> &args, std::string *out = nullptr) const;
    int load_json(const std::string &json) const;
    // Writes the operational initial-read mask.
    bool set_prio_mask(uint32_t mask) const;

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A database that takes every connection (the kernel completes them) and never answers: a listening
// socket on a free loopback port that nobody reads.
class SilentDatabase
{
public:
    SilentDatabase();
    ~SilentDatabase();
    SilentDatabase(const SilentDatabase &) = delete;
    SilentDatabase &operator=(const SilentDatabase &) = delete;
    bool ok() const { return port_ != 0; }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// An event base with a 10 ms timer service, as the daemon runs them.
class Loop
{
public:
    Loop();
    ~Loop();
    event_base *base() const { return base_; }
    timer_mgr *timers() const { return mgr_; }
    // Runs the loop until pred() holds or the time-out passes; returns pred().
    bool run_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    void run_for(std::chrono::milliseconds d);

private:
    event_base *base_ = nullptr;
    event *tick_ = nullptr;
    timer_mgr *mgr_ = nullptr;
};

// Parameters of a module without points, actions or data callbacks on this loop.
cfgd_module_params bare_module_params(Loop &loop, uint8_t module_id);

// A policy-status notification ("Failed") of severity `prio` naming `policy`, with `extra` vpn-list-name
// leaves "vl".
std::vector<confd_tag_value_t> policy_status(int prio, const char *policy, int extra = 0);

// Runs fn on another thread while the loop runs, until fn returns.
int run_cli_async(Loop &loop, const std::function<int()> &fn);
