# Serving an in-process daemon's event loop while a test waits.
target_sources(zel_e2e PRIVATE loop_harness.cc)
target_link_libraries(zel_e2e PUBLIC PkgConfig::LIBEVENT)
