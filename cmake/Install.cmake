# `cmake --install`: the module library and the core library (libbmpvintage)
# with their SONAME links, the core's static library, the public headers,
# the bmpvintage program and its manual page, a CMake package
# (find_package(SorvaneBMPVintage) -> SorvaneBMPVintage::SorvaneBMPVintage
# and SorvaneBMPVintage::bmpvintage) and two pkg-config files
# (sorvanebmpvintage, bmpvintage).
#
# Each file belongs to one component, as the packages split them (see
# cmake/Packaging.cmake): `runtime` the module's shared library, `core` the
# core's, `dev` what builds against them, `program` bmpvintage and its
# manual page.
#
# Where the system has multiarch library folders (Debian and its kin), the
# library goes into lib/<triplet> under any prefix, as the packages need it
# under /usr; -DCMAKE_INSTALL_LIBDIR=... chooses otherwise.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_LIBRARY_ARCHITECTURE
   AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
    CACHE PATH "Object code libraries (lib/<multiarch triplet>)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/SorvaneBMPVintage)
set(SORVANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

target_include_directories(SorvaneBMPVintage INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(bmpvintage_shared INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS SorvaneBMPVintage EXPORT SorvaneBMPVintageTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS bmpvintage_shared EXPORT SorvaneBMPVintageTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT core
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT core NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The static core, libbmpvintage.a (on Windows beside the DLL's import
# library, libbmpvintage.dll.a): for `pkg-config --static bmpvintage`.
install(TARGETS bmpvintage_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/module/BMPVintage.h ${PROJECT_SOURCE_DIR}/module/bmpv.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(TARGETS bmpvintage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

# gzip -9n: the best compression, and no name or time stamp in the file, so
# that the same text always gives the same bytes. At configure time: CMake
# configures again when the source changes.
function(sorvane_gzip source plain)
  find_program(SORVANE_GZIP gzip REQUIRED)
  configure_file(${source} ${plain} COPYONLY)
  execute_process(COMMAND ${SORVANE_GZIP} -9nkf ${plain} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
if(NOT WIN32)
  sorvane_gzip(${PROJECT_SOURCE_DIR}/tools/bmpvintage.1 ${PROJECT_BINARY_DIR}/man/bmpvintage.1)
  install(FILES ${PROJECT_BINARY_DIR}/man/bmpvintage.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()

# The licence: beside the README on Windows, with the documentation
# elsewhere. The Debian packages carry it in their copyright files instead
# (see cmake/Packaging.cmake).
if(WIN32)
  install(FILES ${SORVANE_LICENSE_FILE} DESTINATION . COMPONENT license)
else()
  install(FILES ${SORVANE_LICENSE_FILE} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
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

# The .pc files name the prefix they are installed into, as pkg-config
# expects (`cmake --install --prefix`, DESTDIR and the Debian packages
# alike); the relocatable archives rewrite them to their own place
# (cmake/CPackPreBuild.cmake).
foreach(SORVANE_PC IN ITEMS sorvanebmpvintage bmpvintage)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${SORVANE_PC}.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/${SORVANE_PC}.pc.in @ONLY)
  string(CONFIGURE [[
string(MD5 prefix_key "${CMAKE_INSTALL_PREFIX}")
set(pc "@PROJECT_BINARY_DIR@/pkgconfig/${prefix_key}/@SORVANE_PC@.pc")
file(READ "@PROJECT_BINARY_DIR@/pkgconfig/@SORVANE_PC@.pc.in" body)
file(CONFIGURE OUTPUT "${pc}" CONTENT "prefix=${CMAKE_INSTALL_PREFIX}\n${body}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/@SORVANE_PKGCONFIG_DIR@" TYPE FILE FILES "${pc}")
]] SORVANE_INSTALL_PC @ONLY)
  install(CODE "${SORVANE_INSTALL_PC}" COMPONENT dev)
endforeach()
