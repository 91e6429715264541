# Configuration handlers end to end: cdb-cli -> cdb-sim -> zeld -> fp-sim and pxrd-sim.
zel_gtest(e2e_test_handlers SOURCES test_handlers_e2e.cc ${CMAKE_SOURCE_DIR}/tests/cfgd/cfgd_harness.cc
          LIBS zel_e2e zel_cfgd)
target_include_directories(e2e_test_handlers PRIVATE ${CMAKE_SOURCE_DIR}/tests/cfgd)
add_dependencies(e2e_test_handlers zeld cdb-sim cdb-cli fp-sim pxrd-sim krod-sim)
