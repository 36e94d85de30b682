# Boost and jsoncpp for the Windows cross build, as built by tools/win64/build_deps.sh, under
# the names that find_package(Boost) and pkg_check_modules(JSONCPP) give the Linux build.
set(VQ_WIN64_DEPS ${PROJECT_BINARY_DIR}/deps CACHE PATH "Boost and jsoncpp built for Windows")
if(NOT EXISTS ${VQ_WIN64_DEPS}/lib/libboost_thread.a)
  message(FATAL_ERROR "No Windows libraries in ${VQ_WIN64_DEPS}: run tools/win64/build_deps.sh first")
endif()

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${VQ_WIN64_DEPS}/include
  # Windows 7 and later; no MSVC-style automatic linking.
  INTERFACE_COMPILE_DEFINITIONS "BOOST_ALL_NO_LIB;_WIN32_WINNT=0x0601")

# System is header-only in 1.74; Asio's sockets need Winsock.
add_library(Boost::system INTERFACE IMPORTED)
set_target_properties(Boost::system PROPERTIES INTERFACE_LINK_LIBRARIES "Boost::headers;ws2_32;mswsock")

function(vq_win64_lib target file definition)
  add_library(${target} STATIC IMPORTED)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${VQ_WIN64_DEPS}/lib/${file}
    INTERFACE_INCLUDE_DIRECTORIES ${VQ_WIN64_DEPS}/include
    INTERFACE_COMPILE_DEFINITIONS "${definition}"
    INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()
vq_win64_lib(Boost::thread libboost_thread.a BOOST_THREAD_USE_LIB Boost::headers Boost::system)
vq_win64_lib(Boost::filesystem libboost_filesystem.a BOOST_FILESYSTEM_STATIC_LINK Boost::headers advapi32)
vq_win64_lib(Boost::regex libboost_regex.a BOOST_REGEX_STATIC_LINK Boost::headers)
vq_win64_lib(PkgConfig::JSONCPP libjsoncpp.a "")
