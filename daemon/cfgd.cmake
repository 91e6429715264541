# The configuration-database start-up stage.
target_link_libraries(zel_daemon PUBLIC zel_cfgd)
