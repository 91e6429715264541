# The ConfD layer in the sandbox: zeld against cdb-sim, and a module in the test process.
zel_gtest(e2e_test_cfgd SOURCES test_cfgd_e2e.cc ${CMAKE_SOURCE_DIR}/tests/cfgd/cfgd_harness.cc
          LIBS zel_e2e zel_cfgd)
target_include_directories(e2e_test_cfgd PRIVATE ${CMAKE_SOURCE_DIR}/tests/cfgd)
add_dependencies(e2e_test_cfgd zeld cdb-sim cdb-cli)
