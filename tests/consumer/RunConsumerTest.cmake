# Installs the build into a fresh prefix, $HOME/.local with HOME a folder of
# the test's own, and builds and runs the consumer programs against it with
# the README's own lines for CMake (find_package) or pkg-config. With
# HOW=deb the prefix is the Debian packages from `cpack -G DEB`, unpacked
# with dpkg-deb -x (never installed into the machine), their fields and
# contents checked, and lintian's verdict when it is installed; with
# HOW=tgz, the .tar.gz from `cpack -G TGZ`.
#
#   cmake -DHOW=cmake|pkg-config|deb|tgz -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=...
#         -DLIBDIR=... -DCONFIG=... -DC_COMPILER=... -DCXX_COMPILER=...
#         -DPKG_CONFIG=... -DCPACK=... -P RunConsumerTest.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()

set(home ${WORK_DIR}/home)
set(prefix ${home}/.local)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run ${home})

# Checks that `text` matches every regular expression after it.
function(expect what text)
  foreach(pattern IN LISTS ARGN)
    if(NOT text MATCHES "${pattern}")
      message(FATAL_ERROR "${what}: no match for '${pattern}' in:\n${text}")
    endif()
  endforeach()
endfunction()

set(consume ${HOW})
set(packages ${WORK_DIR}/packages)
if(HOW STREQUAL "deb")
  run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -C ${CONFIG} -B ${packages})
  file(GLOB debs ${packages}/*.deb)
  list(LENGTH debs count)
  if(NOT count EQUAL 4)
    message(FATAL_ERROR "expected four packages, got: ${debs}")
  endif()
  # Each package: its fields, then exactly its own files.
  set(runtime_files "usr/${LIBDIR}/libSorvaneBMPVintage\\.so\\.1( -> .*)?;usr/${LIBDIR}/libSorvaneBMPVintage\\.so\\.1\\.0\\.0\\.1")
  set(core_files "usr/${LIBDIR}/libbmpvintage\\.so\\.1( -> .*)?;usr/${LIBDIR}/libbmpvintage\\.so\\.1\\.0\\.0")
  set(dev_files "usr/include/BMPVintage\\.h;usr/include/bmpv\\.h;usr/${LIBDIR}/libbmpvintage\\.so -> libbmpvintage\\.so\\.1;usr/${LIBDIR}/libbmpvintage\\.a;usr/${LIBDIR}/pkgconfig/bmpvintage\\.pc;usr/${LIBDIR}/libSorvaneBMPVintage\\.so -> libSorvaneBMPVintage\\.so\\.1;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfig\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfigVersion\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageTargets\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageTargets-[a-z]+\\.cmake;usr/${LIBDIR}/pkgconfig/sorvanebmpvintage\\.pc")
  set(program_files "usr/bin/bmpvintage;usr/share/man/man1/bmpvintage\\.1\\.gz")
  # The two library packages: each its SONAME's shlibs line.
  set(libsorvanebmpvintage1 runtime "libSorvaneBMPVintage 1 libsorvanebmpvintage1")
  set(libbmpvintage1 core "libbmpvintage 1 libbmpvintage1")
  foreach(package IN ITEMS libsorvanebmpvintage1 libbmpvintage1 libsorvanebmpvintage-dev bmpvintage)
    file(GLOB deb ${packages}/${package}_1.0.0.1_*.deb)
    if(NOT deb)
      message(FATAL_ERROR "no package ${package}_1.0.0.1_*.deb among: ${debs}")
    endif()
    execute_process(COMMAND dpkg-deb -f ${deb} OUTPUT_VARIABLE fields RESULT_VARIABLE rc)
    string(PREPEND fields "\n")  # every field starts a line
    expect("${package} fields" "${fields}" "\nPackage: ${package}\n" "\nVersion: 1\\.0\\.0\\.1\n"
      "\nMaintainer: [^\n]+<[^\n]+@[^\n]+>\n" "\nDescription: [^\n]+\n [^\n]+" "\nArchitecture: [a-z0-9]+\n")
    execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE listing)
    string(REGEX MATCHALL "[^\n]+[^/]\n" entries "${listing}")  # not the folders
    if(${package})
      list(GET ${package} 0 component)
      list(GET ${package} 1 shlibs)
      set(files ${${component}_files})
      # The library's SONAME, as dpkg-shlibdeps sees it, names this package;
      # ldconfig runs from a trigger, not from maintainer scripts.
      execute_process(COMMAND dpkg-deb -I ${deb} shlibs triggers OUTPUT_VARIABLE control)
      expect("shlibs, triggers" "${control}" "^${shlibs} \\(>= 1\\.0\\.0\\.1\\)"
        "\nactivate-noawait ldconfig\n")
      execute_process(COMMAND dpkg-deb -I ${deb} postinst postrm RESULT_VARIABLE scripts)
      if(scripts EQUAL 0)
        message(FATAL_ERROR "${package} has maintainer scripts")
      endif()
      expect("${package} fields" "${fields}" "\nSection: libs\n" "\nDepends: [^\n]*libc6[^\n]*libstdc\\+\\+6")
    elseif(package STREQUAL "libsorvanebmpvintage-dev")
      set(files ${dev_files})
      expect("${package} fields" "${fields}" "\nDepends: [^\n]*libsorvanebmpvintage1 \\(= 1\\.0\\.0\\.1\\)"
        "\nDepends: [^\n]*libbmpvintage1 \\(= 1\\.0\\.0\\.1\\)")
    else()
      set(files ${program_files})
      # The program has the library's code linked in: it needs only the C and C++ runtimes.
      expect("${package} fields" "${fields}" "\nDepends: [^\n]*libstdc\\+\\+6")
      if(fields MATCHES "libsorvanebmpvintage")
        message(FATAL_ERROR "bmpvintage depends on the library package:\n${fields}")
      endif()
    endif()
    list(APPEND files "usr/share/doc/${package}/copyright" "usr/share/doc/${package}/changelog\\.gz")
    list(LENGTH entries have)
    list(LENGTH files want)
    if(NOT have EQUAL want)
      message(FATAL_ERROR "${package} holds ${have} files, not ${want}:\n${listing}")
    endif()
    foreach(f IN LISTS files)
      expect("${package} contents" "${listing}" " \\./${f}\n")
    endforeach()
    run(dpkg-deb -x ${deb} ${WORK_DIR}/root)
  endforeach()
  find_program(lintian lintian)
  if(lintian)
    run(${lintian} -I --pedantic --fail-on error,warning,info ${debs})
  else()
    message(STATUS "lintian not found (Debian: lintian): the packages are not checked by it")
  endif()
  file(CREATE_LINK ${WORK_DIR}/root/usr ${prefix} SYMBOLIC)  # $HOME/.local
  set(consume cmake)
elseif(HOW STREQUAL "tgz")
  run(${CPACK} -G TGZ --config ${BUILD_DIR}/CPackConfig.cmake -C ${CONFIG} -B ${packages})
  file(GLOB tgz ${packages}/sorvanebmpvintage-1.0.0.1-*.tar.gz)
  if(NOT tgz)
    message(FATAL_ERROR "cpack -G TGZ made no sorvanebmpvintage-1.0.0.1-*.tar.gz")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${tgz} DESTINATION ${WORK_DIR}/root)
  file(GLOB top LIST_DIRECTORIES true ${WORK_DIR}/root/sorvanebmpvintage-1.0.0.1-*)
  file(RENAME ${top} ${prefix})
  set(consume pkg-config)
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
endif()
file(REMOVE_RECURSE ${packages}/_CPack_Packages)  # nothing may point back at cpack's staging

# What the tree must hold (a Debian package's copyright file holds the
# licence).
set(license share/doc/SorvaneBMPVintage/LICENSE)
if(HOW STREQUAL "deb")
  set(license "")
endif()
set(tree ${license}
    include/BMPVintage.h
    include/bmpv.h
    ${LIBDIR}/libSorvaneBMPVintage.so
    ${LIBDIR}/libSorvaneBMPVintage.so.1
    ${LIBDIR}/libSorvaneBMPVintage.so.1.0.0.1
    ${LIBDIR}/libbmpvintage.so
    ${LIBDIR}/libbmpvintage.so.1
    ${LIBDIR}/libbmpvintage.so.1.0.0
    ${LIBDIR}/libbmpvintage.a
    ${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfig.cmake
    ${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfigVersion.cmake
    ${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageTargets.cmake
    ${LIBDIR}/pkgconfig/sorvanebmpvintage.pc
    ${LIBDIR}/pkgconfig/bmpvintage.pc
    bin/bmpvintage
    share/man/man1/bmpvintage.1.gz)
foreach(f ${tree})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# And nothing else: what only builds or tests this tree (GoogleTest built
# here among it) stays out. Besides: the targets' per-configuration file.
if(NOT HOW STREQUAL "deb")
  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
  list(FILTER installed EXCLUDE REGEX "/SorvaneBMPVintageTargets-[a-z]+\\.cmake$")
  list(SORT installed)
  list(SORT tree)
  if(NOT installed STREQUAL tree)
    message(FATAL_ERROR "installed: ${installed}\nnot: ${tree}")
  endif()
endif()
file(READ_SYMLINK ${prefix}/${LIBDIR}/libSorvaneBMPVintage.so.1 soname_target)
if(NOT soname_target STREQUAL "libSorvaneBMPVintage.so.1.0.0.1")
  message(FATAL_ERROR "libSorvaneBMPVintage.so.1 points at ${soname_target}")
endif()

# The installed program on its own.
execute_process(COMMAND ${prefix}/bin/bmpvintage --version OUTPUT_VARIABLE version RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT version STREQUAL "bmpvintage 1.0.0.1\n")
  message(FATAL_ERROR "installed bmpvintage --version: ${rc} '${version}'")
endif()
run(${prefix}/bin/bmpvintage ${SOURCE_DIR}/samples/sample.bmp ${WORK_DIR}/run/sample.bmp)
# And as a filter: the same bytes through standard input and output.
execute_process(COMMAND ${prefix}/bin/bmpvintage - -
  INPUT_FILE ${SOURCE_DIR}/samples/sample.bmp OUTPUT_FILE ${WORK_DIR}/run/piped.bmp
  RESULT_VARIABLE rc)
file(SHA256 ${WORK_DIR}/run/sample.bmp by_name)
file(SHA256 ${WORK_DIR}/run/piped.bmp piped)
if(NOT rc EQUAL 0 OR NOT by_name STREQUAL piped)
  message(FATAL_ERROR "installed bmpvintage - - gave status ${rc} and other bytes than by name")
endif()

# The consumers, built and run with the README's lines for a prefix
# ("<!-- prefix: cmake -->" or "<!-- prefix: pkg-config -->" before them),
# in a copy of the consumer project; the C program is app.c there.
file(READ ${SOURCE_DIR}/README.md readme)
string(REGEX MATCH "<!-- prefix: ${consume} -->\n```sh\n([^`]+)```" lines "${readme}")
set(lines "${CMAKE_MATCH_1}")
if(NOT lines)
  message(FATAL_ERROR "README.md has no lines after <!-- prefix: ${consume} -->")
endif()
file(COPY ${SOURCE_DIR}/tests/consumer/project/ DESTINATION ${WORK_DIR}/run)
file(COPY_FILE ${WORK_DIR}/run/consumer.c ${WORK_DIR}/run/app.c)
get_filename_component(cmake_bin ${CMAKE_COMMAND} DIRECTORY)
set(ENV{PATH} "${cmake_bin}:$ENV{PATH}")
set(ENV{HOME} ${home})
set(ENV{CC} ${C_COMPILER})
set(ENV{CXX} ${CXX_COMPILER})
message(STATUS "The README's lines:\n${lines}")
run(bash -euc "${lines}" WORKING_DIRECTORY ${WORK_DIR}/run)

if(consume STREQUAL "cmake")
  # The C++ consumer, which holds the README's C++ example (checked below).
  run(${WORK_DIR}/run/build/consumer_cpp WORKING_DIRECTORY ${WORK_DIR}/run)
elseif(NOT HOW STREQUAL "tgz")
  # An installed .pc names its prefix plainly.
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags sorvanebmpvintage OUTPUT_VARIABLE cflags)
  expect("pkg-config --cflags" "${cflags}" "^-I${prefix}/include *\n$")
endif()

# The examples (examples/), built and run with the README's lines for them
# ("<!-- examples: cmake -->" or "<!-- examples: pkg-config -->"): each
# checks every call against the others and prints a refused file's message.
string(REGEX MATCH "<!-- examples: ${consume} -->\n```sh\n([^`]+)```" lines "${readme}")
set(lines "${CMAKE_MATCH_1}")
if(NOT lines)
  message(FATAL_ERROR "README.md has no lines after <!-- examples: ${consume} -->")
endif()
file(COPY ${SOURCE_DIR}/examples ${SOURCE_DIR}/samples DESTINATION ${WORK_DIR}/run)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND bash -euc "${lines}" WORKING_DIRECTORY ${WORK_DIR}/run
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the examples failed (${rc}):\n${lines}\n${out}")
endif()
expect("the examples' output" "${out}"
  "\nc-not-an-image\\.bmp: Not a valid BMP file \\(ERR_BMP_NOT_VALID\\)\n"
  "\ncpp-sépia\\.bmp: Output file exists \\(ERR_BMP_OUTPUT_EXISTS\\)\n")

# The README's snippets ("<!-- from: FILE -->" before them), word for word
# in their files: the examples, the C++ consumer. (Semicolons would split CMake's lists: kept aside.)
string(REPLACE ";" "<semicolon>" readme "${readme}")
string(REGEX MATCHALL "<!-- from: [^ ]+ -->\n```[a-z]+\n[^`]+```" blocks "${readme}")
if(NOT blocks)
  message(FATAL_ERROR "README.md has no snippets from the examples")
endif()
foreach(block IN LISTS blocks)
  string(REGEX MATCH "<!-- from: ([^ ]+) -->\n```[a-z]+\n([^`]+)```" block "${block}")
  set(snippet "${CMAKE_MATCH_2}")
  file(READ ${SOURCE_DIR}/${CMAKE_MATCH_1} text)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(FIND "${text}" "${snippet}" found)
  if(found LESS 0)
    string(REPLACE "<semicolon>" ";" snippet "${snippet}")
    message(FATAL_ERROR "the README's snippet is not in ${CMAKE_MATCH_1}:\n${snippet}")
  endif()
endforeach()
