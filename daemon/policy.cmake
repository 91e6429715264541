# The policy module's start-up stages.
target_link_libraries(zel_daemon PUBLIC zel_policy)
