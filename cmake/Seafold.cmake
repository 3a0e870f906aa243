# Helpers shared by the subsystem folders.

set(SEAFOLD_WARNINGS -Wall -Wextra)

# seafold_library(NAME [DEPS target...]) builds src/NAME/*.cpp into the
# static library seafold_NAME. New modules are picked up without editing
# CMake files.
function(seafold_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(seafold_${name} STATIC ${sources})
  target_include_directories(seafold_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(seafold_${name} PRIVATE ${SEAFOLD_WARNINGS})
  target_link_libraries(seafold_${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# seafold_test(NAME SOURCES... DEPS...) builds one GoogleTest executable and
# registers its tests with ctest.
function(seafold_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${SEAFOLD_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  # A state folder of the executable's own (see tests/CMakeLists.txt).
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ENVIRONMENT XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state/${name}
                                  FIXTURES_REQUIRED test_state)
endfunction()
