# zeld among every stand-in, shared by the cases that commit through cdb-cli.
add_library(zel_e2e_standins STATIC standins.cc ${CMAKE_SOURCE_DIR}/tests/cfgd/cfgd_harness.cc)
target_include_directories(zel_e2e_standins PUBLIC ${CMAKE_SOURCE_DIR}/tests/cfgd)
target_compile_definitions(zel_e2e_standins PRIVATE ZEL_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}"
                                                    ZEL_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(zel_e2e_standins PUBLIC zel_e2e zel_cfgd)
add_dependencies(zel_e2e_standins zeld cdb-sim cdb-cli fp-sim pxrd-sim krod-sim sysmgr-sim)

# Configuration handlers end to end: cdb-cli -> cdb-sim -> zeld -> fp-sim and pxrd-sim.
zel_gtest(e2e_test_handlers SOURCES test_handlers_e2e.cc LIBS zel_e2e_standins)
