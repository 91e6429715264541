# Faults end to end: peers, the database and zeld killed and started again, commits while zeld is away.
zel_gtest(e2e_test_faults SOURCES test_faults_e2e.cc LIBS zel_e2e_standins)
target_compile_definitions(e2e_test_faults PRIVATE ZEL_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
