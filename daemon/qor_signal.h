#pragma once

// SIGTERM ends the process at once with status 0; SIGABRT, SIGHUP, SIGINT and
// SIGQUIT end it abnormally through the assertion path.
void qor_signal_init();
