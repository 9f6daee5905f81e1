# The helpers every CMakeLists uses: one per kind of target. Sources are
# always listed by name (a new file is added to its list, never found by a
# pattern), so a file left behind in a folder builds nothing.
#
# Every deliverable links its own static copy of lib/ and platform/: layers
# are static libraries, and a program or module links the layers it uses.
#
# The build tree mirrors the install tree (cmake/install.cmake names its
# folders): every installed program is built into <build>/bin/ and every
# installed module (the dialogs' Qt backend included) into <build>/lib/mvn/,
# so a program finds its sibling programs beside it and its modules in
# ../lib/mvn in both trees. Programs and modules only the tests use stay in
# their folder's build directory.
set(MVN_BUILD_BINDIR ${CMAKE_BINARY_DIR}/bin)
set(MVN_BUILD_MODULEDIR ${CMAKE_BINARY_DIR}/lib/mvn)
set(MVN_BUILD_DATADIR ${CMAKE_BINARY_DIR}/share/mvn)

# Arguments shared by the helpers below:
#   USES <NAME>=<target> ...   the built file of <target> as the
#                              compile-time string NAME, and <target> built
#                              first (a program a test runs, a module it
#                              loads).
#   DEFINES <NAME>=<value> ... further compile definitions.
function(_mvn_uses target)
  foreach(use ${ARGN})
    string(FIND "${use}" "=" eq)
    if(eq LESS 1)
      message(FATAL_ERROR "${target}: USES takes NAME=target, not '${use}'")
    endif()
    string(SUBSTRING "${use}" 0 ${eq} name)
    math(EXPR start "${eq} + 1")
    string(SUBSTRING "${use}" ${start} -1 used)
    target_compile_definitions(${target} PRIVATE ${name}="$<TARGET_FILE:${used}>")
    add_dependencies(${target} ${used})
  endforeach()
endfunction()

# An executable with its sources, libraries, USES and DEFINES (the common
# part of programs, test binaries and benchmarks).
function(_mvn_add_executable target sources libs uses defines)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${libs})
  target_compile_definitions(${target} PRIVATE ${defines})
  _mvn_uses(${target} ${uses})
endfunction()

# mvn_add_library(<target> SOURCES ... [PUBLIC ...] [PRIVATE ...]): a
# layer or a core, a static library. PUBLIC libraries are linked by every
# consumer too, PRIVATE ones only by this library's objects.
function(mvn_add_library target)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(NOT L_SOURCES)
    message(FATAL_ERROR "${target}: no SOURCES")
  endif()
  add_library(${target} STATIC ${L_SOURCES})
  target_link_libraries(${target} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
endfunction()

# mvn_add_program(<target> SOURCES ... [LIBS ...] [USES ...] [DEFINES ...]
# [NOINSTALL]): an executable, built into <build>/bin/ and installed with
# the product when the install helpers are part of the build, unless
# NOINSTALL (a program that only the tests or the run command use: built in
# its folder's build directory, not installed).
function(mvn_add_program target)
  cmake_parse_arguments(P "NOINSTALL" "" "SOURCES;LIBS;USES;DEFINES" ${ARGN})
  _mvn_add_executable(${target} "${P_SOURCES}" "${P_LIBS}" "${P_USES}" "${P_DEFINES}")
  if(NOT P_NOINSTALL)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MVN_BUILD_BINDIR})
    if(COMMAND mvn_install_program)
      mvn_install_program(${target})
    endif()
  endif()
endfunction()

# mvn_add_module(<target> SOURCES ... [LIBS ...] EXPORTS sym ... [DEFINES ...]
# [NOINSTALL]): a loadable shared object (no "lib" prefix, ".so") that
# exports exactly EXPORTS. Built with -fno-gnu-unique so dlclose really
# unloads it. Built into <build>/lib/mvn/ and installed there, unless
# NOINSTALL.
function(mvn_add_module target)
  cmake_parse_arguments(M "NOINSTALL" "" "SOURCES;LIBS;EXPORTS;DEFINES" ${ARGN})
  if(NOT M_EXPORTS)
    message(FATAL_ERROR "${target}: a module exports at least one name (EXPORTS)")
  endif()
  add_library(${target} MODULE ${M_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_libraries(${target} PRIVATE ${M_LIBS})
  target_compile_definitions(${target} PRIVATE ${M_DEFINES})
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
  if(NOT M_NOINSTALL)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${MVN_BUILD_MODULEDIR})
    if(COMMAND mvn_install_module)
      mvn_install_module(${target})
    endif()
  endif()
endfunction()

# mvn_add_tests(<target> SOURCES ... [LIBS ...] [USES ...] [DEFINES ...]):
# one GoogleTest binary, its cases registered with CTest. It links
# GoogleTest and the test support library (tests/support); its entry comes
# from LIBS (GTest::gtest_main, or an entry of tests/support:
# mvn_testmain_heap, mvn_testmain_module) or is a main among its SOURCES.
# Tests that need a private machine root make it themselves (see
# tests/support/tempdir.h).
function(mvn_add_tests target)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;USES;DEFINES" ${ARGN})
  _mvn_add_executable(${target} "${T_SOURCES}" "${T_LIBS};mvn_testsupport;GTest::gtest" "${T_USES}" "${T_DEFINES}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "-FreshProcess.*"
    PROPERTIES ENVIRONMENT "MVN_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# mvn_add_bench(<target> SOURCES ... [LIBS ...] [USES ...] [DEFINES ...]):
# a Google Benchmark program (run by hand, not a test), with the test
# support library (tests/support) for its inputs and child processes.
function(mvn_add_bench target)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;USES;DEFINES" ${ARGN})
  _mvn_add_executable(${target} "${B_SOURCES}" "${B_LIBS};mvn_testsupport;benchmark::benchmark" "${B_USES}"
    "${B_DEFINES}")
endfunction()

# mvn_automoc(<target>): Qt's meta-object code generated for the target.
# That code lives in the build tree; instrumented for the sanitizers, its
# checks would carry build-tree file names into every installed program that
# links the target, so it is built without them.
function(mvn_automoc target)
  set_target_properties(${target} PROPERTIES AUTOMOC ON)
  if(MVN_SANITIZE)
    set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/mocs_compilation.cpp
      TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-fno-sanitize=address,undefined")
  endif()
endfunction()
