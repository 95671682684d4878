# Lays out the web page in SITE: its own files from SOURCE, the package's
# module (PACKAGE: its .js and .wasm files) under bmpvintage/, the ZIP writer
# (FFLATE) as fflate.js, and the service worker with the list of every file
# and a cache name that changes with their contents.
#   cmake -DSOURCE=... -DPACKAGE=... -DFFLATE=... -DSITE=... -P BuildSite.cmake
foreach(var SOURCE PACKAGE FFLATE SITE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "BuildSite.cmake: ${var} is not set")
  endif()
  get_filename_component(${var} "${${var}}" ABSOLUTE)
endforeach()
if(NOT EXISTS "${PACKAGE}/index.js")
  message(FATAL_ERROR "The package is not built: ${PACKAGE}/index.js is missing")
endif()

file(REMOVE_RECURSE "${SITE}")
file(MAKE_DIRECTORY "${SITE}/bmpvintage")
file(COPY "${SOURCE}/index.html" "${SOURCE}/app.js" "${SOURCE}/worker.js" "${SOURCE}/style.css" "${SOURCE}/icon.svg"
     DESTINATION "${SITE}")
file(COPY "${FFLATE}" DESTINATION "${SITE}")
get_filename_component(fflate_name "${FFLATE}" NAME)
if(NOT fflate_name STREQUAL "fflate.js")
  file(RENAME "${SITE}/${fflate_name}" "${SITE}/fflate.js")
endif()
file(GLOB_RECURSE module_files RELATIVE "${PACKAGE}" "${PACKAGE}/*.js" "${PACKAGE}/*.mjs" "${PACKAGE}/*.wasm")
foreach(name IN LISTS module_files)
  get_filename_component(dir "${name}" DIRECTORY)
  file(COPY "${PACKAGE}/${name}" DESTINATION "${SITE}/bmpvintage/${dir}")
endforeach()

# Every file the page may ask for, and one hash over their names and contents.
file(GLOB_RECURSE site_files RELATIVE "${SITE}" "${SITE}/*")
list(SORT site_files)
set(listing "  './',\n")
set(digest "")
foreach(name IN LISTS site_files)
  file(SHA256 "${SITE}/${name}" sum)
  string(APPEND digest "${name} ${sum}\n")
  string(APPEND listing "  './${name}',\n")
endforeach()
string(SHA256 SITE_HASH "${digest}")
string(SUBSTRING "${SITE_HASH}" 0 16 SITE_HASH)
string(REGEX REPLACE ",\n$" "" SITE_FILES "${listing}")
configure_file("${SOURCE}/sw.js.in" "${SITE}/sw.js" @ONLY)
