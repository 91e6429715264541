zel_gtest(daemon_test_lifecycle SOURCES test_lifecycle.cc LIBS zel_daemon)
