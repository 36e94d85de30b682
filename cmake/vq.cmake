# Small helpers shared by every folder of the tree.

# Our own targets build with warnings on.
function(vq_warnings target)
  target_compile_options(${target} PRIVATE ${VQ_WARNINGS})
endfunction()

# A test may run for up to this many seconds, so that a hang fails within two minutes; only
# cases labelled `gigabytes` (they stream that much) may be given longer.
set(VQ_TEST_TIMEOUT_MAX 120)
function(vq_check_timeout what timeout labels)
  if(timeout GREATER VQ_TEST_TIMEOUT_MAX AND NOT "gigabytes" IN_LIST labels)
    message(FATAL_ERROR "${what}: TIMEOUT ${timeout} is over ${VQ_TEST_TIMEOUT_MAX} s; only "
      "tests labelled gigabytes may take longer")
  endif()
endfunction()

# vq_gtest(NAME SOURCES a.cpp b.cpp LIBS lib... LABELS threads ... [TIMEOUT s])
# One GoogleTest program; ctest runs each of its cases as a test of its own, named
# NAME.Suite.Case, so that a failing case shows by name. The cases are listed when ctest
# starts (not at build time), through the emulator in a cross build.
# Labels the everyday run leaves out (`ctest -LE 'peers|slow'`): `peers` for tests that
# start curl, python3 or node, `slow` for the long ones. vq_gtest_cases labels single cases.
include(GoogleTest)
function(vq_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  vq_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${VQ_TEST_TIMEOUT_MAX})
  endif()
  vq_check_timeout(${name} ${T_TIMEOUT} "${T_LABELS}")
  set_property(TARGET ${name} PROPERTY VQ_TEST_LABELS "${T_LABELS}")
  # A Windows program under Wine reaches the Linux file system through drive Z:, and ends
  # the lines of its case list with CR LF: the executor strips the CR.
  set(drive "")
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(drive "Z:")
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/cmake/windows_test_executor.sh ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    TEST_LIST ${name}_TESTS)
  # gtest_discover_tests flattens list-valued PROPERTIES (two labels, two variables), so the
  # properties go on the listed cases from a file ctest reads after the list.
  set(env "VQ_SOURCE_DIR=${drive}${PROJECT_SOURCE_DIR};VQ_BINARY_DIR=${drive}${PROJECT_BINARY_DIR}")
  set(properties "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE ${properties} "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES TIMEOUT ${T_TIMEOUT}\n"
    "    ENVIRONMENT [==[${env}]==] LABELS [==[${T_LABELS}]==])\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties})
endfunction()

# vq_gtest_cases(NAME MATCHING regex LABELS label... [TIMEOUT s])
# The cases of vq_gtest program NAME whose full name (NAME.Suite.Case) matches the regex get
# these labels besides the program's, and this time-out.
function(vq_gtest_cases name)
  cmake_parse_arguments(C "" "MATCHING;TIMEOUT" "LABELS" ${ARGN})
  get_property(labels TARGET ${name} PROPERTY VQ_TEST_LABELS)
  list(APPEND labels ${C_LABELS})
  set(timeout "")
  if(C_TIMEOUT)
    vq_check_timeout("${name} cases ${C_MATCHING}" ${C_TIMEOUT} "${labels}")
    set(timeout " TIMEOUT ${C_TIMEOUT}")
  endif()
  file(APPEND "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake"
    "set(vq_matched \"\")\n"
    "foreach(t IN LISTS ${name}_TESTS)\n"
    "  if(t MATCHES [==[${C_MATCHING}]==])\n"
    "    set_tests_properties(\${t} PROPERTIES LABELS [==[${labels}]==]${timeout})\n"
    "    set(vq_matched 1)\n"
    "  endif()\n"
    "endforeach()\n"
    "if(${name}_TESTS AND NOT vq_matched)\n"
    "  message(WARNING [==[${name}: no case matches ${C_MATCHING}]==])\n"
    "endif()\n")
endfunction()

# vq_fuzz_target(NAME SOURCES ... LIBS ... CORPUS dir)
# A libFuzzer target; dev.sh runs every one listed in fuzz_targets.txt with its seed corpus.
function(vq_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  vq_warnings(${name})
  if(F_CORPUS)
    set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/${F_CORPUS})
  else()
    set(corpus "")
  endif()
  file(APPEND ${PROJECT_BINARY_DIR}/fuzz_targets.txt "${CMAKE_CURRENT_BINARY_DIR}/${name} ${corpus}\n")
endfunction()

# vq_bench(NAME SOURCES ... LIBS ...): a benchmark program under bench/.
function(vq_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} Threads::Threads)
  vq_warnings(${name})
endfunction()

# vq_public_includes(target...): a library whose headers are included by their path from the
# repository root ("httprtsp/src/client.hpp"), here, in a parent build (add_subdirectory) and
# once installed (under include/velquin).
function(vq_public_includes)
  foreach(t ${ARGN})
    target_include_directories(${t} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
      $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/velquin>)
  endforeach()
endfunction()
