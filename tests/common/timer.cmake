zel_gtest(common_test_timer SOURCES test_timer.cc LIBS zel_timer)
