zel_gtest(common_test_avl SOURCES test_avl.cc LIBS zel_avl)
zel_gtest(common_test_dll SOURCES test_dll.cc LIBS zel_log)
