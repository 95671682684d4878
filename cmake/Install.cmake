# `cmake --install`: the library with its SONAME links, the public header,
# the bmpvintage program and its manual page, a CMake package
# (find_package(SorvaneBMPVintage) -> SorvaneBMPVintage::SorvaneBMPVintage)
# and a pkg-config file (sorvanebmpvintage).
#
# Each file belongs to one component, as the packages split them (see
# cmake/Packaging.cmake): `runtime` the shared library, `dev` what builds
# against it, `program` bmpvintage and its manual page.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/SorvaneBMPVintage)
set(SORVANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

target_include_directories(SorvaneBMPVintage INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS SorvaneBMPVintage EXPORT SorvaneBMPVintageTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/module/BMPVintage.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(TARGETS bmpvintage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/bmpvintage.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()

install(EXPORT SorvaneBMPVintageTargets
  NAMESPACE SorvaneBMPVintage::
  DESTINATION ${SORVANE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/SorvaneBMPVintageConfig.cmake.in
  ${PROJECT_BINARY_DIR}/SorvaneBMPVintageConfig.cmake
  INSTALL_DESTINATION ${SORVANE_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/SorvaneBMPVintageConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/SorvaneBMPVintageConfig.cmake
  ${PROJECT_BINARY_DIR}/SorvaneBMPVintageConfigVersion.cmake
  DESTINATION ${SORVANE_CMAKE_DIR} COMPONENT dev)

# The .pc file finds the prefix from its own place, so the installed tree
# may be moved or installed with `cmake --install --prefix`.
function(sorvane_pc_dir var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${SORVANE_PKGCONFIG_DIR}")
  set(SORVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH SORVANE_PC_PREFIX "/prefix/${SORVANE_PKGCONFIG_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" SORVANE_PC_PREFIX "${SORVANE_PC_PREFIX}")
  set(SORVANE_PC_PREFIX "\${pcfiledir}/${SORVANE_PC_PREFIX}")
endif()
sorvane_pc_dir(SORVANE_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
sorvane_pc_dir(SORVANE_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/sorvanebmpvintage.pc.in
  ${PROJECT_BINARY_DIR}/sorvanebmpvintage.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sorvanebmpvintage.pc
  DESTINATION ${SORVANE_PKGCONFIG_DIR} COMPONENT dev)
