zel_gtest(e2e_test_zeld SOURCES test_zeld.cc LIBS zel_e2e)
add_dependencies(e2e_test_zeld zeld)
