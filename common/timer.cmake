zel_library(zel_timer SOURCES timer.cc LIBS zel_log)
target_link_libraries(zel_common INTERFACE zel_timer)
