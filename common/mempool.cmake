zel_library(zel_mempool SOURCES mempool.cc LIBS zel_log Threads::Threads)
target_link_libraries(zel_common INTERFACE zel_mempool)
