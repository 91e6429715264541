zel_gtest(common_test_mempool SOURCES test_mempool.cc LIBS zel_mempool)
