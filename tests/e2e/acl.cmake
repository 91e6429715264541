# Access lists of both families end to end: generated lists against captures, bindings, retries.
zel_gtest(e2e_test_acl SOURCES test_acl_e2e.cc LIBS zel_e2e_standins)
