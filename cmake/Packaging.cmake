# Packages made by `cpack` in a build tree:
#   cpack -G DEB   four Debian packages, split as Debian splits a library:
#                  libsorvanebmpvintage1 (the module's shared library, by its
#                  SONAME), libbmpvintage1 (the core's), libsorvanebmpvintage-dev
#                  (headers, the core's static library, CMake package,
#                  pkg-config files) and bmpvintage (the program and its
#                  manual page)
#   cpack -G TGZ   one .tar.gz of everything `cmake --install` installs
#   cpack -G ZIP   in the MinGW build: SorvaneBMPVintage.DLL, the core's
#                  libbmpvintage-1.dll, their import libraries, the headers,
#                  bmpvintage.exe, the README and the LICENSE
# The components are those of cmake/Install.cmake. Each package carries the
# licence: the archives as LICENSE, each Debian package as its copyright
# file.
set(CPACK_PACKAGE_NAME sorvanebmpvintage)
set(CPACK_PACKAGE_VENDOR "Sorvane")
set(CPACK_PACKAGE_CONTACT "Sorvane maintainers <maintainers@sorvane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each Debian
# package's own first line, the synopsis.
set(CPACK_PACKAGE_DESCRIPTION
  "SorvaneBMPVintage turns every colour of a BMP image to sepia by a fixed\nmatrix, with exact arithmetic, and keeps every other byte of the file.")
set(CPACK_PACKAGE_HOMEPAGE_URL ${PROJECT_HOMEPAGE_URL})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${SORVANE_LICENSE_FILE})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")
# Run on the staged files before a package is made: see the script.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CPackPreBuild.cmake)
set(CPACK_SORVANE_OBJCOPY "${CMAKE_OBJCOPY}")
set(CPACK_SORVANE_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)

if(WIN32)
  # The ZIP unpacks into a folder of its own: bin/, include/, lib/, README.md,
  # LICENSE.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT runtime)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_SORVANE_ELF_ARCHIVES ON)  # static libraries of ELF objects
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)  # one .tar.gz of the whole tree
set(CPACK_COMPONENTS_ALL runtime core dev program)
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
set(CPACK_DEBIAN_PACKAGE_SOURCE ${CPACK_PACKAGE_NAME})
# The C and C++ runtimes the binaries really need, with their least
# versions, found by dpkg-shlibdeps (Debian: dpkg-dev); without it, by name.
find_program(SORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(CPACK_SORVANE_DPKG_SHLIBDEPS "${SORVANE_DPKG_SHLIBDEPS}")
if(SORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found (Debian: dpkg-dev): packages depend on the C and C++ runtimes by name only")
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
# Package dependencies between the components, with the exact version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(SORVANE_SOVERSION 1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libsorvanebmpvintage${SORVANE_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# CPack would write postinst and postrm scripts that call ldconfig for a
# library under /usr/lib whenever it looks at the package's binaries: the
# library package's dependencies come from cmake/CPackPreBuild.cmake
# instead, and an ldconfig trigger replaces the scripts. The shlibs and
# symbols files tell the packages that link the library what to depend on.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(debian ${PROJECT_BINARY_DIR}/debian)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian}/triggers ${debian}/shlibs ${debian}/symbols)
# The core library, the same way: its own package, named by its SONAME
# libbmpvintage.so.1, whose symbols file lists each bmpv_ call under its
# version node.
set(CPACK_DEBIAN_CORE_PACKAGE_NAME libbmpvintage${SORVANE_SOVERSION})
set(CPACK_DEBIAN_CORE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CORE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA ${debian}/triggers ${debian}/core/shlibs ${debian}/core/symbols)
set(CPACK_DEBIAN_CORE_DESCRIPTION
  "vintage (sepia) tone for BMP images - core library\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds the shared library libbmpvintage.so.${SORVANE_SOVERSION}: the tone\nfrom memory, through streams and callbacks, from file to file, and on\ndecoded pixels, with a status for every failure.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "vintage (sepia) tone for BMP images - shared library\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds the shared library libSorvaneBMPVintage.so.${SORVANE_SOVERSION}.")

# Each package's /usr/share/doc/<package>: the licence as a machine-readable
# copyright file and the changelog, added by cmake/CPackPreBuild.cmake.
file(READ ${SORVANE_LICENSE_FILE} SORVANE_LICENSE_TEXT)
string(FIND "${SORVANE_LICENSE_TEXT}" "Permission is hereby granted" start)
string(SUBSTRING "${SORVANE_LICENSE_TEXT}" ${start} -1 SORVANE_LICENSE_TEXT)
string(STRIP "${SORVANE_LICENSE_TEXT}" SORVANE_LICENSE_TEXT)
string(REGEX REPLACE "\n\n" "\n.\n" SORVANE_LICENSE_TEXT "${SORVANE_LICENSE_TEXT}")
string(REPLACE "\n" "\n " SORVANE_LICENSE_TEXT " ${SORVANE_LICENSE_TEXT}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libsorvanebmpvintage-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime core)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "vintage (sepia) tone for BMP images - development files\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds the headers BMPVintage.h and bmpv.h, the core's static\nlibrary, the CMake package (find_package(SorvaneBMPVintage)) and the\npkg-config files (sorvanebmpvintage, bmpvintage).")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME bmpvintage)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
  "vintage (sepia) tone for BMP images - command-line program\n${CPACK_PACKAGE_DESCRIPTION}\nThis package holds bmpvintage, which tones files, whole folders and\npipes, and its manual page.")

foreach(file IN ITEMS triggers shlibs symbols copyright)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${file}.in ${debian}/${file} @ONLY)
endforeach()
foreach(file IN ITEMS shlibs symbols)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/core-${file}.in ${debian}/core/${file} @ONLY)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${debian}/changelog.in @ONLY)
sorvane_gzip(${debian}/changelog.in ${debian}/changelog)
include(CPack)
