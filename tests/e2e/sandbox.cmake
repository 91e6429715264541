zel_gtest(e2e_test_sandbox SOURCES test_sandbox.cc LIBS zel_e2e)
