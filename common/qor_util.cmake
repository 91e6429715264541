zel_library(zel_qor_util SOURCES qor_util.cc LIBS zel_log)
target_link_libraries(zel_common INTERFACE zel_qor_util)
