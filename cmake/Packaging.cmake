# Packages made by `cpack` in a build tree:
#   cpack -G DEB   three Debian packages, split as Debian splits a library:
#                  libsorvanebmpvintage1 (the shared library, by its SONAME),
#                  libsorvanebmpvintage-dev (header, CMake package, pkg-config
#                  file) and bmpvintage (the program and its manual page)
#   cpack -G TGZ   one .tar.gz of everything `cmake --install` installs
#   cpack -G ZIP   in the MinGW build: SorvaneBMPVintage.DLL, its import
#                  library, BMPVintage.h, bmpvintage.exe and the README
# The components are those of cmake/Install.cmake.
set(CPACK_PACKAGE_NAME sorvanebmpvintage)
set(CPACK_PACKAGE_VENDOR "Sorvane")
set(CPACK_PACKAGE_CONTACT "Sorvane maintainers <maintainers@sorvane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each Debian
# package's own first line, the synopsis.
set(CPACK_PACKAGE_DESCRIPTION
  "SorvaneBMPVintage turns every colour of a BMP image to sepia by a fixed\nmatrix, with exact arithmetic, and keeps every other byte of the file.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")

if(WIN32)
  # The ZIP unpacks into a folder of its own: bin/, include/, lib/, README.md.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT runtime)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)  # one .tar.gz of the whole tree
set(CPACK_COMPONENTS_ALL runtime dev program)
# The Debian packages install under /usr; the .tar.gz holds bin/, lib/ ...
# at its top, to unpack into any prefix.
set(per_generator ${PROJECT_BINARY_DIR}/CPackPerGenerator.cmake)
file(CONFIGURE OUTPUT ${per_generator} CONTENT [[
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${per_generator})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version_arch.deb
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sorvane.example/bmpvintage")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ runtimes the binaries really need, with their least
# versions, found by dpkg-shlibdeps (Debian: dpkg-dev); without it, by name.
find_program(SORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found (Debian: dpkg-dev): packages depend on the C and C++ runtimes by name only")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
# Package dependencies between the components, with the exact version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(soversion 1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libsorvanebmpvintage${soversion})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for the packages that link the library (only a package with
# a shared library gets one), and ldconfig after install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "vintage (sepia) tone for BMP images - shared library\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds the shared library libSorvaneBMPVintage.so.${soversion}.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libsorvanebmpvintage-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "vintage (sepia) tone for BMP images - development files\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds the header BMPVintage.h, the CMake package\n(find_package(SorvaneBMPVintage)) and the pkg-config file\n(sorvanebmpvintage).")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME bmpvintage)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
  "vintage (sepia) tone for BMP images - command-line program\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds bmpvintage, which tones files, whole folders and\npipes, and its manual page.")

include(CPack)
