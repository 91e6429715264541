// The sandbox: run the daemon and its stand-ins in private namespaces, for the end-to-end tests
// (tests/e2e/sandbox.h adds their fixture) and for zel-sandbox, which `make run` uses.
//
// A process enters, once, private mount and network namespaces (root only):
//   - every mount made private; tmpfs on /run (and /var/run when it is not a link to /run);
//   - a private /dev: tmpfs with null, zero, full, random, urandom and tty bound in from the
//     host, the fd/stdin/stdout/stderr links, a tmpfs /dev/shm, and /dev/log served by a
//     syslog receiver that records every line with its priority;
//   - the loopback interface up, nothing else in the network namespace;
//   - the process is a child subreaper, so daemons that detach (daemon(3)) stay its
//     children and can be waited for with Process::adopt.
//
// Waits poll until their time-out; a time-out is a failure, never an expected result.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e
{

// Generous default time-out: sanitizer builds start slowly.
inline constexpr std::chrono::milliseconds kWait{15000};

// One line received on /dev/log, e.g. "<191>Dec  5 10:00:00 ZELD[42]: f[7]: text".
struct SyslogLine {
    int pri = -1;     // facility * 8 + severity (191 = LOG_LOCAL7|LOG_DEBUG)
    std::string tag;  // "ZELD"
    int pid = -1;     // from "TAG[pid]", -1 when absent
    std::string msg;  // text after "TAG[pid]: "
    std::string raw;  // the datagram as received
};

SyslogLine parse_syslog_line(std::string_view raw);

class Syslog
{
public:
    using Pred = std::function<bool(const SyslogLine &)>;
    // Number of lines received so far: a cursor for "only lines from now on".
    size_t mark() const;
    std::vector<SyslogLine> lines() const;
    // Waits for the first line at index >= *cursor (0 without cursor) that matches;
    // on success advances *cursor past it, so successive waits check the order.
    std::optional<SyslogLine> wait_until(const Pred &pred, std::chrono::milliseconds timeout, size_t *cursor = nullptr);
    // Matches on the message text (after "TAG[pid]: ").
    std::optional<SyslogLine> wait_for(std::string_view text, std::chrono::milliseconds timeout = kWait,
                                       size_t *cursor = nullptr);
    std::optional<SyslogLine> wait_for_regex(const std::regex &re, std::chrono::milliseconds timeout = kWait,
                                             size_t *cursor = nullptr);
    // Every received line, one per row: for failure messages.
    std::string dump() const;

    void add(std::string_view raw);  // used by the receiver thread

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<SyslogLine> lines_;
};

// The process-wide sandbox; entered on first use.
class Sandbox
{
public:
    static Sandbox &get();
    bool ready() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    Syslog &syslog() { return syslog_; }
    ~Sandbox();

private:
    Sandbox();
    void enter();
    std::string error_;
    Syslog syslog_;
    int log_fd_ = -1;
    int stop_fd_ = -1;
    std::thread receiver_;
};

struct ProcessOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries on top of this environment
    bool pipe_stdin = true;        // else stdin is /dev/null
    bool capture_output = true;    // else stdout and stderr are this process's own
};

// A child process with stdout and stderr captured (and stdin writable), started with
// default signal dispositions and an empty signal mask.
class Process
{
public:
    // argv[0] is looked up in PATH when it has no slash; nullptr when it cannot be started.
    static std::unique_ptr<Process> start(const std::vector<std::string> &argv, const ProcessOptions &opts = {});
    // A process that is our child only through the subreaper (e.g. a daemon that detached).
    static std::unique_ptr<Process> adopt(pid_t pid);
    ~Process();  // SIGKILLs and reaps a process still running

    pid_t pid() const { return pid_; }
    bool signal(int sig) const;
    // The raw wait status, or nothing when it did not end in time.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = kWait);
    bool running();

    std::string stdout_text() const;
    std::string stderr_text() const;
    // Waits for a complete stdout line containing `text`; *cursor as for Syslog (in lines).
    std::optional<std::string> wait_stdout_line(std::string_view text, std::chrono::milliseconds timeout = kWait,
                                                size_t *cursor = nullptr);
    std::optional<std::string> wait_stdout_regex(const std::regex &re, std::chrono::milliseconds timeout = kWait,
                                                 size_t *cursor = nullptr);
    // Writes line + '\n' to the child's stdin.
    bool write_stdin(std::string_view line);
    void close_stdin();

    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

private:
    Process() = default;
    void read_output();
    void stop_reader();
    std::optional<std::string> wait_stdout(const std::function<bool(const std::string &)> &match,
                                           std::chrono::milliseconds timeout, size_t *cursor);
    pid_t pid_ = -1;
    std::optional<int> status_;
    int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1, stop_fd_ = -1;
    bool eof_ = false;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    std::thread reader_;
};

// <build>/bin/<name>: $ZEL_BUILD_DIR as the test registration sets it, else the build this harness
// was compiled in.
std::string binary(std::string_view name);
// Exit code of a normal exit, -1 for no status or a death by signal.
int exit_code(const std::optional<int> &status);
// Signal that ended the process, 0 when it exited or there is no status.
int term_signal(const std::optional<int> &status);
std::string describe_status(const std::optional<int> &status);

// Calls pred every `every` until it holds; false when it does not within `timeout`.
bool poll_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = kWait,
                std::chrono::milliseconds every = std::chrono::milliseconds(100));
// Runs cdb-cli; stdout and stderr together.
std::string cdb_cli(const std::vector<std::string> &args, int *rc = nullptr);
std::string hostname();

std::optional<std::string> read_file(const std::string &path);
bool write_file(const std::string &path, std::string_view content);

}  // namespace e2e
