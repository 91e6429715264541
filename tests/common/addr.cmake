zel_gtest(common_test_ip_util SOURCES test_ip_util.cc LIBS zel_ip_util zel_avl)
