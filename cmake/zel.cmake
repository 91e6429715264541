# zel_module(NAME DIR [DEPS ...]): a static library of every .cc in DIR.
function(zel_module name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cc)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# zel_test_dir(DIR LIBS...): every test_*.cc in DIR becomes one GoogleTest binary named after the file.
function(zel_test_dir dir)
  file(GLOB tests CONFIGURE_DEPENDS ${dir}/test_*.cc)
  file(GLOB helpers CONFIGURE_DEPENDS ${dir}/*_util.cc)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    get_filename_component(sub ${dir} NAME)
    set(target ${sub}_${stem})
    add_executable(${target} ${src} ${helpers})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${dir})
    target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest_main GTest::gmock Threads::Threads)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${target} TEST_PREFIX "${sub}." DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "ZEL_SOURCE_DIR=${CMAKE_SOURCE_DIR};ZEL_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endfunction()
