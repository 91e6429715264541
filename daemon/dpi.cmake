# The inspection-engine glue, started inline after Stage 1.
target_link_libraries(zel_daemon PUBLIC zel_dpi)
