# GoogleTest for a cross build: Debian ships the sources in /usr/src/googletest
# (libgtest-dev), so build them for the target instead of using the host's
# libraries. Provides the same imported names as find_package(GTest).
set(VQ_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${VQ_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "Cross build needs the GoogleTest sources in ${VQ_GTEST_SOURCE} (libgtest-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${VQ_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib} AND NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
