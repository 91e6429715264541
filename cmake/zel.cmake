# zel_library(NAME SOURCES src... [LIBS lib...]): a static library, includes rooted at the source tree.
function(zel_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# zel_gtest(TARGET SOURCES src... [LIBS lib...] [PREFIX p]): one GoogleTest binary in build/tests,
# each case registered with CTest as PREFIX.Suite.Case (PREFIX defaults to the directory name).
function(zel_gtest target)
  cmake_parse_arguments(A "" "PREFIX" "SOURCES;LIBS" ${ARGN})
  if(NOT A_PREFIX)
    get_filename_component(A_PREFIX ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  endif()
  add_executable(${target} ${A_SOURCES})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE ZEL_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}"
                                               ZEL_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(${target} PRIVATE ${A_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${target} TEST_PREFIX "${A_PREFIX}." DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "ZEL_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
                                  ENVIRONMENT_MODIFICATION "ZEL_BUILD_DIR=set:${CMAKE_BINARY_DIR}")
endfunction()

# Includes every *.cmake fragment of the current directory: each feature owns its own fragment.
macro(zel_include_fragments)
  file(GLOB _frags CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _frags)
  foreach(_f ${_frags})
    include(${_f})
  endforeach()
endmacro()

# Adds every subdirectory of the current directory that has a CMakeLists.txt.
macro(zel_add_subdirs)
  file(GLOB _subs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _subs)
  foreach(_d ${_subs})
    if(IS_DIRECTORY ${_d} AND EXISTS ${_d}/CMakeLists.txt)
      add_subdirectory(${_d})
    endif()
  endforeach()
endmacro()
