# Installation: the CMake package `velquin` (find_package(velquin 0.2 CONFIG)), a pkg-config
# file per library, and the Debian packages velquin-tools and velquin-dev (cpack -G DEB), each
# with its copyright file and changelogs; the tools with their manual pages (docs/man) and
# bash completion, -dev with the HTML reference (target `reference`) and the examples.
#
# Headers go under include/velquin with their paths from the repository root, so a consumer
# writes the same include lines as our examples; libraries under lib/ (our platform stand-ins
# under lib/velquin, away from the device's own libraries of the same names).
include(CMakePackageConfigHelpers)

set(VQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velquin)
set(VQ_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/velquin)
set(VQ_STANDIN_DIR ${CMAKE_INSTALL_LIBDIR}/velquin)
set(VQ_EXPORTED "")
set(VQ_BOOST_COMPONENTS thread system)

install(FILES ${PROJECT_BINARY_DIR}/include/velquin_version.h DESTINATION ${VQ_INCLUDE_DIR}
  COMPONENT dev)

if(VQ_WORKSTATION)
  list(APPEND VQ_EXPORTED httprtsp)
  list(APPEND VQ_BOOST_COMPONENTS regex filesystem)
  install(TARGETS httprtsp EXPORT velquinTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  # detail/ holds the library's own units (parser lexer, message building, the connection's
  # parts, the upload step), which no integrator includes.
  install(DIRECTORY httprtsp/src/ DESTINATION ${VQ_INCLUDE_DIR}/httprtsp/src COMPONENT dev
    FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h" PATTERN "detail" EXCLUDE)
endif()

if(VQ_BRIDGE)
  list(APPEND VQ_EXPORTED oem_vorn_device_ipc)
  install(TARGETS oem_vorn_device_ipc_bridge EXPORT velquinTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(DIRECTORY oem_ui_process/src/vorn_device_ipc/oem/
    DESTINATION ${VQ_INCLUDE_DIR}/oem_ui_process/src/vorn_device_ipc/oem COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
  if(VQ_PLATFORM_STANDINS)
    list(APPEND VQ_EXPORTED platform_standins)
    install(TARGETS vq_platform ksal_ipc vq_device_log oem_files device_constants rapidjson_hook
      vq_platform_common EXPORT velquinTargets
      ARCHIVE DESTINATION ${VQ_STANDIN_DIR} COMPONENT dev)
    install(DIRECTORY platform/ DESTINATION ${VQ_INCLUDE_DIR}/platform COMPONENT dev
      FILES_MATCHING PATTERN "*.h")
  endif()
endif()

# `cmake --install --strip` and the Debian packages: archives without their debug sections
# (what the build type adds there is many times the code).
set(VQ_ARCHIVES "")
foreach(t httprtsp oem_vorn_device_ipc_bridge)
  if(TARGET ${t})
    list(APPEND VQ_ARCHIVES "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${t}>")
  endif()
endforeach()
if(VQ_BRIDGE AND VQ_PLATFORM_STANDINS)
  foreach(t ksal_ipc vq_device_log oem_files device_constants rapidjson_hook vq_platform_common)
    list(APPEND VQ_ARCHIVES "${VQ_STANDIN_DIR}/$<TARGET_FILE_NAME:${t}>")
  endforeach()
endif()
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(a ${VQ_ARCHIVES})
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${a}\")
      endforeach()
    endif()" COMPONENT dev)
endif()

install(EXPORT velquinTargets NAMESPACE velquin:: DESTINATION ${VQ_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/velquinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velquinConfig.cmake INSTALL_DESTINATION ${VQ_CMAKE_DIR})
# 0.x: a minor version may change the interfaces.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velquinConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velquinConfig.cmake
  ${PROJECT_BINARY_DIR}/velquinConfigVersion.cmake DESTINATION ${VQ_CMAKE_DIR} COMPONENT dev)

# pkg-config: prefix found from the .pc file's own place, so the files hold wherever the
# tree is installed (a prefix, a Debian package, a copy).
file(RELATIVE_PATH VQ_PC_PREFIX /vq/${CMAKE_INSTALL_LIBDIR}/pkgconfig /vq)
set(VQ_PC_DIR ${PROJECT_BINARY_DIR}/pkgconfig)
if(VQ_WORKSTATION)
  configure_file(cmake/pkgconfig/velquin-httprtsp.pc.in ${VQ_PC_DIR}/velquin-httprtsp.pc @ONLY)
  install(FILES ${VQ_PC_DIR}/velquin-httprtsp.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()
if(VQ_BRIDGE)
  if(VQ_PLATFORM_STANDINS)
    set(VQ_PC_BRIDGE_REQUIRES velquin-platform-standins)
    configure_file(cmake/pkgconfig/velquin-platform-standins.pc.in
      ${VQ_PC_DIR}/velquin-platform-standins.pc @ONLY)
    install(FILES ${VQ_PC_DIR}/velquin-platform-standins.pc
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
  else()
    # The device's own platform libraries, as given to the build.
    set(VQ_PC_BRIDGE_REQUIRES "")
    string(REPLACE ";" " " VQ_PC_PLATFORM_LIBS "${OEMUIP_PLATFORM_LIBRARIES}")
  endif()
  configure_file(cmake/pkgconfig/velquin-oem-vorn-device-ipc.pc.in
    ${VQ_PC_DIR}/velquin-oem-vorn-device-ipc.pc @ONLY)
  install(FILES ${VQ_PC_DIR}/velquin-oem-vorn-device-ipc.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# The programs: velquin_publish, the two simulators and the test server.
set(VQ_TOOLS "")
foreach(t velquin_publish velquin_device_sim httprtsp_serve engine_sim)
  if(TARGET ${t})
    list(APPEND VQ_TOOLS ${t})
  endif()
endforeach()
if(VQ_TOOLS)
  install(TARGETS ${VQ_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET engine_sim)
  install(FILES tools/engine_sim/sample_config.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/velquin/engine_sim COMPONENT tools)
endif()
if(TARGET velquin_publish AND NOT WIN32)
  install(FILES tools/completion/velquin_publish.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velquin_publish
    COMPONENT tools)
endif()

# The HTML reference of the installed headers (docs/Doxyfile): `cmake --build DIR --target
# reference`; it fails on any doxygen warning, as `./dev.sh docs` does. Installed when built.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(VQ_DOXYFILE ${PROJECT_BINARY_DIR}/Doxyfile.reference)
  # The generated version header is part of the reference too.
  file(WRITE ${VQ_DOXYFILE} "@INCLUDE = ${PROJECT_SOURCE_DIR}/docs/Doxyfile\n"
    "OUTPUT_DIRECTORY = ${PROJECT_BINARY_DIR}/docs\n"
    "INPUT += ${PROJECT_BINARY_DIR}/include/velquin_version.h\n"
    "STRIP_FROM_PATH += ${PROJECT_BINARY_DIR}/include\n"
    "STRIP_FROM_INC_PATH += ${PROJECT_BINARY_DIR}/include\n")
  file(GLOB_RECURSE VQ_REFERENCE_INPUTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md
    ${PROJECT_SOURCE_DIR}/docs/*.dox ${PROJECT_SOURCE_DIR}/httprtsp/src/*.hpp
    ${PROJECT_SOURCE_DIR}/oem_ui_process/src/vorn_device_ipc/oem/*.h
    ${PROJECT_SOURCE_DIR}/tools/engine_sim/README.md)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/docs/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROJECT_BINARY_DIR}/docs/html
    COMMAND Doxygen::doxygen ${VQ_DOXYFILE}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    DEPENDS ${VQ_REFERENCE_INPUTS} ${PROJECT_SOURCE_DIR}/docs/Doxyfile
      ${PROJECT_BINARY_DIR}/include/velquin_version.h
    COMMENT "HTML reference" VERBATIM)
  add_custom_target(reference DEPENDS ${PROJECT_BINARY_DIR}/docs/html/index.html)
endif()

# Debian's documentation files of each package: the copyright file, the Debian changelog and
# ours (changelog.gz), gzipped as Debian policy asks.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "velquin maintainers <velquin@velquin.invalid>")
set(VQ_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(VQ_GZIP gzip)
set(VQ_DEB_DOCS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz ${PROJECT_BINARY_DIR}/debian/changelog.gz)
if(VQ_GZIP)
  add_custom_command(OUTPUT ${VQ_DEB_DOCS}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md debian/changelog
    COMMAND ${VQ_GZIP} -9nkf debian/changelog debian/changelog.Debian
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_BINARY_DIR}/debian/changelog.Debian
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  add_custom_target(debian_changelogs ALL DEPENDS ${VQ_DEB_DOCS})
endif()
foreach(c tools dev)
  install(FILES cmake/debian/copyright ${VQ_DEB_DOCS} OPTIONAL
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velquin-${c} COMPONENT ${c})
endforeach()
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html/ OPTIONAL
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velquin-dev/html COMPONENT dev)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velquin-dev/examples
  COMPONENT dev FILES_MATCHING PATTERN "*.cpp")

# The Ansible collection velquin.devices beside velquin_publish, where ansible-core looks
# without configuration (/usr/share/ansible/collections from the Debian package).
if(TARGET velquin_publish)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/integrations/ansible/velquin/devices/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/velquin/devices
    COMPONENT tools PATTERN __pycache__ EXCLUDE)
endif()

# Debian packages: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME velquin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration toolchain for networked audio devices")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velquin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS ansible-core)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "velquin_publish, the device and engine simulators and httprtsp_serve")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME velquin-dev)
# lintian wants each line of a description under 80 columns.
set(CPACK_COMPONENT_DEV_DESCRIPTION "httprtsp and the device bridge: static libraries, headers,
CMake and pkg-config files, the HTML reference and the examples")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libboost-dev (>= 1.74), libboost-thread-dev (>= 1.74), libboost-system-dev (>= 1.74), libboost-regex-dev (>= 1.74), libboost-filesystem-dev (>= 1.74), rapidjson-dev")
include(CPack)
