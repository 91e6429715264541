# The configuration handlers with ConfD values, and the model behaviour they rely on.
zel_gtest(policy_test_handlers SOURCES test_handlers.cc LIBS zel_policy zel_daemon_links)
