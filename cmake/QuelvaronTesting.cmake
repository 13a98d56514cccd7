# Test plumbing shared by both builds.
#
# Native: the system's GoogleTest.  Windows: GoogleTest built from Debian's
# source package with the cross compiler; tests run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR.  Discovery happens when ctest runs
# (PRE_TEST), after the test script has booted the Wine server.
include(GoogleTest)

if(QV_TESTS AND NOT TARGET GTest::gtest)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    # googletest's own build defines the GTest:: aliases.
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# qv_add_gtest(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [LABELS <label>])
# One label only: gtest_discover_tests passes PROPERTIES on as a flat list,
# so a second label would be read as a property name.
function(qv_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()
