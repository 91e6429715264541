// zel-sandbox: runs one command inside the sandbox the end-to-end tests use (private mounts, network,
// /run, /dev/shm, /dev/log) and prints every syslog line the sandbox receives.
// Usage: zel-sandbox [--] command [args...]; exits with the command's status.
#include "platform/sandbox/sandbox.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace
{

void print_lines(e2e::Syslog &log, size_t *cursor, std::chrono::milliseconds wait)
{
    while (auto l = log.wait_until([](const e2e::SyslogLine &) { return true; }, wait, cursor))
        printf("syslog <%d> %s\n", l->pri, l->msg.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    int first = argc > 1 && strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (first >= argc) {
        fprintf(stderr, "usage: zel-sandbox [--] command [args...]\n");
        return 2;
    }
    e2e::Sandbox &sb = e2e::Sandbox::get();
    if (!sb.ready()) {
        fprintf(stderr, "zel-sandbox: %s\n", sb.error().c_str());
        return 1;
    }
    std::vector<std::string> cmd(argv + first, argv + argc);
    auto child = e2e::Process::start(cmd, {.pipe_stdin = false, .capture_output = false});
    if (!child) {
        fprintf(stderr, "zel-sandbox: cannot start %s\n", cmd[0].c_str());
        return 1;
    }
    size_t cursor = 0;
    std::atomic<bool> done = false;
    std::thread printer([&] {
        while (!done)
            print_lines(sb.syslog(), &cursor, std::chrono::milliseconds(100));
    });
    std::optional<int> st;
    while (!(st = child->wait_exit(std::chrono::hours(1))))
        ;
    done = true;
    printer.join();
    // Lines sent just before the command ended may still be on their way.
    print_lines(sb.syslog(), &cursor, std::chrono::milliseconds(300));
    return e2e::exit_code(st) >= 0 ? e2e::exit_code(st) : 128 + e2e::term_signal(st);
}
