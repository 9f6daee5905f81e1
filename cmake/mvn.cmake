# Helpers shared by every subsystem's CMakeLists.

# mvn_add_tests(<target> SOURCES ... LIBS ...): one GoogleTest binary, its
# cases registered with CTest. Tests that need a private machine root make it
# themselves (see tests/support/tempdir.h). The suite FreshProcess holds
# helpers that a test runs as a child process of its own; they are not
# registered.
function(mvn_add_tests target)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "-FreshProcess.*"
    PROPERTIES ENVIRONMENT "MVN_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# mvn_add_module(<target> SOURCES ... LIBS ... EXPORTS sym ...): a loadable
# shared object (no "lib" prefix, ".so") that exports exactly EXPORTS.
# Built with -fno-gnu-unique so dlclose really unloads it.
function(mvn_add_module target)
  cmake_parse_arguments(M "" "" "SOURCES;LIBS;EXPORTS" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_libraries(${target} PRIVATE ${M_LIBS})
  target_compile_options(${target} PRIVATE -fno-gnu-unique)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
  set(body "{\n  global:\n")
  foreach(sym ${M_EXPORTS})
    string(APPEND body "    ${sym};\n")
  endforeach()
  string(APPEND body "  local: *;\n};\n")
  file(WRITE "${script}" "${body}")
  target_link_options(${target} PRIVATE
    "-Wl,--version-script=${script}" "-Wl,--exclude-libs,ALL" "-Wl,-z,defs"
    "-Wl,-z,start-stop-visibility=hidden")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
endfunction()
