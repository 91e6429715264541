#include "daemon/qor_signal.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace
{

void qor_signal_term(int, siginfo_t *, void *) { exit(0); }

// The assertion line of zel_assert_fail, written with async-signal-safe calls only: the
// signal may have interrupted syslog or stdio while they held their locks.
void qor_signal_fatal(int, siginfo_t *, void *)
{
    static constexpr char line[] = "qor_signal:64: failed assertion `0'\n";
    if (write(STDERR_FILENO, line, sizeof line - 1) < 0) {
        // Ending abnormally is all that is left to do.
    }
    // Let abort's own SIGABRT end the process instead of coming back here.
    signal(SIGABRT, SIG_DFL);
    abort();
}

void install(int sig, void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction sa = {};
    sa.sa_sigaction = handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

}  // namespace

void qor_signal_init()
{
    install(SIGTERM, qor_signal_term);
    for (int sig : {SIGABRT, SIGHUP, SIGINT, SIGQUIT})
        install(sig, qor_signal_fatal);
}
