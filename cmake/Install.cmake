# `cmake --install`: the shared library, its headers, the tool, a
# pkg-config file and a CMake package (find_package(Volkit), Volkit::volkit).
include(CMakePackageConfigHelpers)

set(VOLKIT_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Volkit)

install(TARGETS volkit EXPORT VolkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/volkit/api.h include/volkit/check.h include/volkit/volkit.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/volkit)
if(VOLKIT_WITH_NTFS3G)
  install(FILES include/volkit/filesystem.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/volkit)
endif()
if(TARGET volkit_tool)
  install(TARGETS volkit_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT VolkitTargets NAMESPACE Volkit:: DESTINATION ${VOLKIT_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/VolkitConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VolkitConfig.cmake
  INSTALL_DESTINATION ${VOLKIT_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VolkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VolkitConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VolkitConfigVersion.cmake
  DESTINATION ${VOLKIT_CMAKE_PACKAGE_DIR})

# The file finds the prefix from its own place, so the installed tree can move.
file(RELATIVE_PATH VOLKIT_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VOLKIT_PC_TO_PREFIX "${VOLKIT_PC_TO_PREFIX}")
configure_file(cmake/volkit.pc.in ${CMAKE_CURRENT_BINARY_DIR}/volkit.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/volkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
