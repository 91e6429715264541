# The explain command against a first match over generated rules and fp-sim's run of the same packets.
zel_gtest(e2e_test_explain SOURCES test_explain_e2e.cc ${CMAKE_SOURCE_DIR}/tests/cfgd/cfgd_harness.cc
          LIBS zel_e2e zel_cfgd)
target_include_directories(e2e_test_explain PRIVATE ${CMAKE_SOURCE_DIR}/tests/cfgd)
add_dependencies(e2e_test_explain zeld cdb-sim cdb-cli fp-sim pxrd-sim krod-sim)
