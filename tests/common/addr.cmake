zel_gtest(common_test_ip_util SOURCES test_ip_util.cc test_ip_util_ring.cc LIBS zel_ip_util zel_avl)
