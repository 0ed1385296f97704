# One-line registration of libraries, tests and benchmarks, with the project's warnings.

# Warnings are per target, never global flags.
function(hosp_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wcast-align -Wunused -Woverloaded-virtual -Wformat=2)
endfunction()

# hosp_test(Name SOURCES a.cpp b.cpp LIBS net sys [TIMEOUT seconds] [POSTGRES])
# POSTGRES: the tests use the run's shared PostgreSQL server (tests/support).
function(hosp_test name)
  cmake_parse_arguments(T "POSTGRES" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/TestEnvironment.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE HOSP_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}"
                                             HOSP_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  hosp_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  set(fixture)
  if(T_POSTGRES)
    set(fixture FIXTURES_REQUIRED Postgres)
  endif()
  include(GoogleTest)
  # The test environment comes from TestEnvironment.cpp: list-valued ENVIRONMENT
  # properties do not survive gtest_discover_tests.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT ${T_TIMEOUT} ${fixture})
endfunction()

# hosp_bench(Name SOURCES a.cpp LIBS json)
function(hosp_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  hosp_warnings(${name})
endfunction()
