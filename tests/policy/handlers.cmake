# The configuration handlers with ConfD values, and the model behaviour they rely on.
zel_gtest(policy_test_handlers SOURCES test_handlers.cc LIBS zel_policy zel_daemon_links)
# In the sandbox (root only): VPN instances binding the vpn-lists that cover them.
zel_gtest(policy_test_handlers_sandbox SOURCES test_handlers_sandbox.cc LIBS zel_e2e zel_daemon zel_policy)
add_dependencies(policy_test_handlers_sandbox fp-sim pxrd-sim krod-sim)
