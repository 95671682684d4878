# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files before it makes
# a package:
#  - ELF files, and the ELF members of static libraries, lose the .comment
#    and .note sections (compiler versions), which nothing reads at run time
#    or link time;
#  - the archives (TGZ, ZIP) get a pkg-config file that finds the prefix
#    from its own place, as they unpack anywhere;
#  - each Debian package gets its copyright file and changelog, and the
#    library packages their dependencies, from dpkg-shlibdeps.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${root}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  # ELF, or "!<ar" where archives hold ELF (objcopy goes through them)
  if(CPACK_SORVANE_OBJCOPY AND (magic STREQUAL "7f454c46" OR
     (magic STREQUAL "213c6172" AND CPACK_SORVANE_ELF_ARCHIVES)))
    execute_process(
      COMMAND "${CPACK_SORVANE_OBJCOPY}" --remove-section=.comment --remove-section=.note "${file}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  if(file MATCHES "/(sorvanebmpvintage|bmpvintage)\\.pc$" AND NOT CPACK_GENERATOR STREQUAL "DEB")
    get_filename_component(dir "${file}" DIRECTORY)
    file(RELATIVE_PATH up "${dir}" "${root}")
    string(REGEX REPLACE "/$" "" up "${up}")
    file(READ "${file}" pc)
    string(REGEX REPLACE "^prefix=[^\n]*" "prefix=\${pcfiledir}/${up}" pc "${pc}")
    file(WRITE "${file}" "${pc}")
  endif()
endforeach()

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER "${component}" upper)
  set(doc "${root}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc")
  file(COPY "${CPACK_SORVANE_DEBIAN_DIR}/copyright" "${CPACK_SORVANE_DEBIAN_DIR}/changelog.gz"
    DESTINATION "${doc}/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

foreach(component IN ITEMS RUNTIME CORE)
  string(TOLOWER "${component}" lower)
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  file(GLOB_RECURSE library LIST_DIRECTORIES false "${root}/${lower}/*.so.*.*")
  if(CPACK_SORVANE_DPKG_SHLIBDEPS AND library)
    # dpkg-shlibdeps wants a debian/control, even an empty one.
    set(work "${CPACK_TOPLEVEL_DIRECTORY}/sorvane-shlibdeps")
    file(WRITE "${work}/debian/control" "")
    execute_process(COMMAND "${CPACK_SORVANE_DPKG_SHLIBDEPS}" -O "-e${library}"
      WORKING_DIRECTORY "${work}" OUTPUT_VARIABLE substvars ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    if(substvars MATCHES "shlibs:Depends=([^\n]+)")
      set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()
