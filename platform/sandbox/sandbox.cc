#include "platform/sandbox/sandbox.h"

#include <cstdlib>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace e2e
{

namespace
{

using clock = std::chrono::steady_clock;

std::string errno_text(const std::string &what) { return what + ": " + strerror(errno); }

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string mount_tmpfs(const char *where, const char *mode)
{
    std::string opts = std::string("mode=") + mode;
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID, opts.c_str()) != 0)
        return errno_text(std::string("mount tmpfs on ") + where);
    return {};
}

// A tmpfs /dev holding only what daemons and their tests use.
std::string make_private_dev()
{
    const std::string stage = "/run/.e2e-dev";
    if (mkdir(stage.c_str(), 0755) != 0 && errno != EEXIST)
        return errno_text("mkdir " + stage);
    if (auto e = mount_tmpfs(stage.c_str(), "755"); !e.empty())
        return e;
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string host = std::string("/dev/") + node, mine = stage + "/" + node;
        int fd = open(mine.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno_text("create " + mine);
        close(fd);
        if (mount(host.c_str(), mine.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return errno_text("bind " + host);
    }
    const std::pair<const char *, const char *> links[] = {{"fd", "/proc/self/fd"},
                                                           {"stdin", "/proc/self/fd/0"},
                                                           {"stdout", "/proc/self/fd/1"},
                                                           {"stderr", "/proc/self/fd/2"}};
    for (auto [name, target] : links)
        if (symlink(target, (stage + "/" + name).c_str()) != 0)
            return errno_text(std::string("symlink /dev/") + name);
    std::string shm = stage + "/shm";
    if (mkdir(shm.c_str(), 01777) != 0)
        return errno_text("mkdir " + shm);
    if (auto e = mount_tmpfs(shm.c_str(), "1777"); !e.empty())
        return e;
    if (mount(stage.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return errno_text("move private /dev");
    rmdir(stage.c_str());
    return {};
}

std::string loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno_text("socket");
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string err;
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        err = errno_text("SIOCGIFFLAGS lo");
    } else {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
            err = errno_text("SIOCSIFFLAGS lo");
    }
    close(s);
    return err;
}

bool var_run_is_run()
{
    char buf[64];
    ssize_t n = readlink("/var/run", buf, sizeof buf - 1);
    if (n < 0)
        return false;
    buf[n] = '\0';
    return strcmp(buf, "/run") == 0 || strcmp(buf, "../run") == 0;
}

}  // namespace

// ---------------------------------------------------------------------------- syslog

SyslogLine parse_syslog_line(std::string_view raw)
{
    static const std::regex re(
        R"(^<(\d+)>(?:[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d )?([^\[: ]*)(?:\[(\d+)\])?: ([\s\S]*)$)");
    SyslogLine l;
    l.raw = std::string(raw);
    while (!l.raw.empty() && (l.raw.back() == '\n' || l.raw.back() == '\0'))
        l.raw.pop_back();
    std::smatch m;
    if (std::regex_match(l.raw, m, re)) {
        l.pri = std::stoi(m[1]);
        l.tag = m[2];
        if (m[3].matched)
            l.pid = std::stoi(m[3]);
        l.msg = m[4];
    } else {
        l.msg = l.raw;
    }
    return l;
}

void Syslog::add(std::string_view raw)
{
    SyslogLine l = parse_syslog_line(raw);
    {
        std::lock_guard lock(mu_);
        lines_.push_back(std::move(l));
    }
    cv_.notify_all();
}

size_t Syslog::mark() const
{
    std::lock_guard lock(mu_);
    return lines_.size();
}

std::vector<SyslogLine> Syslog::lines() const
{
    std::lock_guard lock(mu_);
    return lines_;
}

std::optional<SyslogLine> Syslog::wait_until(const Pred &pred, std::chrono::milliseconds timeout, size_t *cursor)
{
    const auto deadline = clock::now() + timeout;
    size_t from = cursor != nullptr ? *cursor : 0;
    std::unique_lock lock(mu_);
    for (;;) {
        for (size_t i = from; i < lines_.size(); i++)
            if (pred(lines_[i])) {
                if (cursor != nullptr)
                    *cursor = i + 1;
                return lines_[i];
            }
        from = std::max(from, lines_.size());
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && lines_.size() == from)
            return std::nullopt;
    }
}

std::optional<SyslogLine> Syslog::wait_for(std::string_view text, std::chrono::milliseconds timeout, size_t *cursor)
{
    return wait_until([&](const SyslogLine &l) { return l.msg.find(text) != std::string::npos; }, timeout, cursor);
}

std::optional<SyslogLine> Syslog::wait_for_regex(const std::regex &re, std::chrono::milliseconds timeout,
                                                 size_t *cursor)
{
    return wait_until([&](const SyslogLine &l) { return std::regex_search(l.msg, re); }, timeout, cursor);
}

std::string Syslog::dump() const
{
    std::string out;
    for (const auto &l : lines())
        out += l.raw + "\n";
    return out;
}

// ---------------------------------------------------------------------------- sandbox

Sandbox &Sandbox::get()
{
    static Sandbox s;
    return s;
}

Sandbox::Sandbox() { enter(); }

void Sandbox::enter()
{
    if (geteuid() != 0) {
        error_ = "end-to-end tests need root (private mount and network namespaces)";
        return;
    }
    // Before any thread starts: only the calling thread moves to the new namespaces.
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        error_ = errno_text("unshare(CLONE_NEWNS|CLONE_NEWNET)");
        return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error_ = errno_text("make mounts private");
        return;
    }
    if (error_ = mount_tmpfs("/run", "755"); !error_.empty())
        return;
    if (!var_run_is_run()) {
        if (error_ = mount_tmpfs("/var/run", "755"); !error_.empty())
            return;
    }
    if (error_ = make_private_dev(); !error_.empty())
        return;
    if (error_ = loopback_up(); !error_.empty())
        return;
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    log_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (log_fd_ < 0 || bind(log_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error_ = errno_text("bind /dev/log");
        return;
    }
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    receiver_ = std::thread([this] {
        char buf[8192];
        pollfd fds[2] = {{log_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents != 0)
                return;
            if (fds[0].revents & POLLIN) {
                ssize_t n = recv(log_fd_, buf, sizeof buf, 0);
                if (n > 0)
                    syslog_.add(std::string_view(buf, static_cast<size_t>(n)));
            }
        }
    });
}

Sandbox::~Sandbox()
{
    if (receiver_.joinable()) {
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof one) == sizeof one)
            receiver_.join();
        else
            receiver_.detach();
    }
    close_fd(log_fd_);
    close_fd(stop_fd_);
}

// ---------------------------------------------------------------------------- processes

std::unique_ptr<Process> Process::start(const std::vector<std::string> &argv, const ProcessOptions &opts)
{
    if (argv.empty())
        return nullptr;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (opts.capture_output && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) {
        for (int fd : {out[0], out[1]})
            if (fd >= 0)
                close(fd);
        return nullptr;
    }
    if (opts.pipe_stdin && pipe2(in, O_CLOEXEC) != 0)
        in[0] = in[1] = -1;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in[0] >= 0)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (opts.capture_output) {
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    }

    // The child starts with default dispositions and nothing blocked, whatever this process did.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; e++)
        envp.push_back(*e);
    for (const auto &e : opts.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    for (int fd : {in[0], out[1], err[1]})
        if (fd >= 0)
            close(fd);
    if (rc != 0) {
        for (int fd : {in[1], out[0], err[0]})
            if (fd >= 0)
                close(fd);
        return nullptr;
    }
    std::unique_ptr<Process> p(new Process);
    p->pid_ = pid;
    p->in_fd_ = in[1];
    p->out_fd_ = out[0];
    p->err_fd_ = err[0];
    if (opts.capture_output) {
        p->stop_fd_ = eventfd(0, EFD_CLOEXEC);
        p->reader_ = std::thread([raw = p.get()] { raw->read_output(); });
    }
    return p;
}

std::unique_ptr<Process> Process::adopt(pid_t pid)
{
    std::unique_ptr<Process> p(new Process);
    p->pid_ = pid;
    return p;
}

Process::~Process()
{
    if (running()) {
        kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(10));
    }
    close_fd(in_fd_);
    stop_reader();
}

// A grandchild may still hold the pipes: stop reading rather than wait for their end.
void Process::stop_reader()
{
    if (reader_.joinable()) {
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof one) != sizeof one)
            kill(pid_, SIGKILL);
        reader_.join();
    }
    close_fd(stop_fd_);
}

void Process::read_output()
{
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    char buf[4096];
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents != 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(mu_);
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
            cv_.notify_all();
        }
    }
    for (int i = 0; i < 2; i++)
        if (fds[i].fd >= 0)
            close(fds[i].fd);
    std::lock_guard lock(mu_);
    eof_ = true;
    cv_.notify_all();
}

bool Process::signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = clock::now() + timeout;
    while (!status_) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = st;
            break;
        }
        if (r < 0 || clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status_) {
        // Let the reader take the last output (end of file on both pipes).
        std::unique_lock lock(mu_);
        cv_.wait_until(lock, std::max(deadline, clock::now() + std::chrono::seconds(2)),
                       [this] { return eof_ || !reader_.joinable(); });
    }
    return status_;
}

bool Process::running() { return pid_ > 0 && !wait_exit(std::chrono::milliseconds(0)) && kill(pid_, 0) == 0; }

std::string Process::stdout_text() const
{
    std::lock_guard lock(mu_);
    return out_;
}

std::string Process::stderr_text() const
{
    std::lock_guard lock(mu_);
    return err_;
}

std::optional<std::string> Process::wait_stdout(const std::function<bool(const std::string &)> &match,
                                                std::chrono::milliseconds timeout, size_t *cursor)
{
    const auto deadline = clock::now() + timeout;
    std::unique_lock lock(mu_);
    for (;;) {
        std::istringstream in(out_);
        std::string line;
        size_t index = 0;
        size_t from = cursor != nullptr ? *cursor : 0;
        size_t consumed = 0;
        while (std::getline(in, line)) {
            consumed += line.size() + 1;
            if (consumed > out_.size())
                break;  // last line not complete yet
            if (index >= from && match(line)) {
                if (cursor != nullptr)
                    *cursor = index + 1;
                return line;
            }
            index++;
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout)
            return std::nullopt;
    }
}

std::optional<std::string> Process::wait_stdout_line(std::string_view text, std::chrono::milliseconds timeout,
                                                     size_t *cursor)
{
    return wait_stdout([&](const std::string &l) { return l.find(text) != std::string::npos; }, timeout, cursor);
}

std::optional<std::string> Process::wait_stdout_regex(const std::regex &re, std::chrono::milliseconds timeout,
                                                      size_t *cursor)
{
    return wait_stdout([&](const std::string &l) { return std::regex_search(l, re); }, timeout, cursor);
}

bool Process::write_stdin(std::string_view line)
{
    if (in_fd_ < 0)
        return false;
    std::string data(line);
    data += '\n';
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(in_fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Process::close_stdin() { close_fd(in_fd_); }

// ---------------------------------------------------------------------------- helpers

std::string binary(std::string_view name)
{
    const char *env = std::getenv("ZEL_BUILD_DIR");
    return std::string(env ? env : ZEL_SANDBOX_BUILD_DIR) + "/bin/" + std::string(name);
}

int exit_code(const std::optional<int> &status) { return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1; }

int term_signal(const std::optional<int> &status) { return status && WIFSIGNALED(*status) ? WTERMSIG(*status) : 0; }

std::string describe_status(const std::optional<int> &status)
{
    if (!status)
        return "still running";
    if (WIFEXITED(*status))
        return "exit " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status))
        return std::string("killed by ") + strsignal(WTERMSIG(*status));
    return "status " + std::to_string(*status);
}

bool poll_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout, std::chrono::milliseconds every)
{
    for (const auto end = clock::now() + timeout; !pred(); std::this_thread::sleep_for(every))
        if (clock::now() >= end)
            return false;
    return true;
}

std::string cdb_cli(const std::vector<std::string> &args, int *rc)
{
    std::vector<std::string> argv{binary("cdb-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = Process::start(argv);
    const auto st = p->wait_exit();
    if (rc)
        *rc = exit_code(st);
    return p->stdout_text() + p->stderr_text();
}

std::string hostname()
{
    char h[256] = {};
    gethostname(h, sizeof h - 1);
    return h;
}

std::optional<std::string> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, std::string_view content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    return static_cast<bool>(f.flush());
}

}  // namespace e2e
