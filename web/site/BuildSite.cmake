# Lays out the web page in SITE: its own files from SOURCE, the package's
# modules (from PACKAGE) under bmpvintage/, and the service
# worker with the list of files a first visit keeps and a cache name that
# changes with the contents of every file. The ZIP writer and the portable
# module (for engines without WebAssembly SIMD) are left out of that list:
# they are kept when first used.
#   cmake -DSOURCE=... -DPACKAGE=... -DSITE=... -P BuildSite.cmake
foreach(var SOURCE PACKAGE SITE)
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
file(COPY "${SOURCE}/index.html" "${SOURCE}/app.js" "${SOURCE}/worker.js" "${SOURCE}/zip.js"
     "${SOURCE}/style.css" "${SOURCE}/manifest.webmanifest" "${SOURCE}/icon.svg" "${SOURCE}/icon-192.png"
     "${SOURCE}/icon-512.png"
     DESTINATION "${SITE}")
# The browser's part of the package: its ES modules (the WebAssembly modules
# are inlined in them), not the Node stream form nor the single-file entry.
file(GLOB_RECURSE module_files RELATIVE "${PACKAGE}" "${PACKAGE}/*.js" "${PACKAGE}/*.mjs")
list(FILTER module_files EXCLUDE REGEX "^(node|single)\\.m?js$")
foreach(name IN LISTS module_files)
  get_filename_component(dir "${name}" DIRECTORY)
  file(COPY "${PACKAGE}/${name}" DESTINATION "${SITE}/bmpvintage/${dir}")
endforeach()

# The files a first visit keeps, and one hash over every file's name and
# contents.
file(GLOB_RECURSE site_files RELATIVE "${SITE}" "${SITE}/*")
list(SORT site_files)
set(listing "  './',\n")
set(digest "")
foreach(name IN LISTS site_files)
  file(SHA256 "${SITE}/${name}" sum)
  string(APPEND digest "${name} ${sum}\n")
  if(NOT name MATCHES "^(zip\\.js|.*portable.*)$")
    string(APPEND listing "  './${name}',\n")
  endif()
endforeach()
string(SHA256 SITE_HASH "${digest}")
string(SUBSTRING "${SITE_HASH}" 0 16 SITE_HASH)
string(REGEX REPLACE ",\n$" "" SITE_FILES "${listing}")
configure_file("${SOURCE}/sw.js.in" "${SITE}/sw.js" @ONLY)
