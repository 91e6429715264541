# The data-plane interface's start-up stages.
target_link_libraries(zel_daemon PUBLIC zel_dataplane)
