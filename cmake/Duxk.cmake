# duxk_test(NAME LABEL label SOURCES ... [LIBS ...] [TIMEOUT s])
# One GoogleTest executable registered with CTest under a label
# (unit, sim, e2e or gui).
function(duxk_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "DUXK_BIN_DIR=${CMAKE_BINARY_DIR}/bin;DUXK_BUILD_DIR=${CMAKE_BINARY_DIR};DUXK_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
