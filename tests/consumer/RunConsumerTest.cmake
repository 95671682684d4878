# Installs the build into a fresh prefix and builds and runs the consumer
# programs against it, through CMake (find_package) or pkg-config. With
# HOW=deb the prefix is the Debian packages from `cpack -G DEB`, unpacked
# with dpkg-deb -x (never installed into the machine), their fields and
# contents checked; with HOW=tgz, the .tar.gz from `cpack -G TGZ`.
#
#   cmake -DHOW=cmake|pkg-config|deb|tgz -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=...
#         -DLIBDIR=... -DCONFIG=... -DC_COMPILER=... -DCXX_COMPILER=...
#         -DGENERATOR=... -DPKG_CONFIG=... -DCPACK=... -P RunConsumerTest.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  message(STATUS "${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run)

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
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "expected three packages, got: ${debs}")
  endif()
  # Each package: its fields, then exactly its own files.
  set(runtime_files "usr/${LIBDIR}/libSorvaneBMPVintage\\.so\\.1( -> .*)?;usr/${LIBDIR}/libSorvaneBMPVintage\\.so\\.1\\.0\\.0\\.1")
  set(dev_files "usr/include/BMPVintage\\.h;usr/${LIBDIR}/libSorvaneBMPVintage\\.so -> libSorvaneBMPVintage\\.so\\.1;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfig\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfigVersion\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageTargets\\.cmake;usr/${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageTargets-[a-z]+\\.cmake;usr/${LIBDIR}/pkgconfig/sorvanebmpvintage\\.pc")
  set(program_files "usr/bin/bmpvintage;usr/share/man/man1/bmpvintage\\.1")
  foreach(package IN ITEMS libsorvanebmpvintage1 libsorvanebmpvintage-dev bmpvintage)
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
    if(package STREQUAL "libsorvanebmpvintage1")
      set(files ${runtime_files})
      # The library's SONAME, as dpkg-shlibdeps sees it, names this package.
      execute_process(COMMAND dpkg-deb -I ${deb} shlibs OUTPUT_VARIABLE shlibs)
      expect("shlibs" "${shlibs}" "^libSorvaneBMPVintage 1 libsorvanebmpvintage1 \\(>= 1\\.0\\.0\\.1\\)")
      expect("${package} fields" "${fields}" "\nSection: libs\n" "\nDepends: [^\n]*libc6[^\n]*libstdc\\+\\+6")
    elseif(package STREQUAL "libsorvanebmpvintage-dev")
      set(files ${dev_files})
      expect("${package} fields" "${fields}" "\nDepends: libsorvanebmpvintage1 \\(= 1\\.0\\.0\\.1\\)\n")
    else()
      set(files ${program_files})
      # The program has the library's code linked in: it needs only the C and C++ runtimes.
      expect("${package} fields" "${fields}" "\nDepends: [^\n]*libstdc\\+\\+6")
      if(fields MATCHES "libsorvanebmpvintage")
        message(FATAL_ERROR "bmpvintage depends on the library package:\n${fields}")
      endif()
    endif()
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
  set(prefix ${WORK_DIR}/root/usr)
  set(consume cmake)
elseif(HOW STREQUAL "tgz")
  run(${CPACK} -G TGZ --config ${BUILD_DIR}/CPackConfig.cmake -C ${CONFIG} -B ${packages})
  file(GLOB tgz ${packages}/sorvanebmpvintage-1.0.0.1-*.tar.gz)
  if(NOT tgz)
    message(FATAL_ERROR "cpack -G TGZ made no sorvanebmpvintage-1.0.0.1-*.tar.gz")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${tgz} DESTINATION ${WORK_DIR}/root)
  file(GLOB prefix LIST_DIRECTORIES true ${WORK_DIR}/root/sorvanebmpvintage-1.0.0.1-*)
  set(consume pkg-config)
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
endif()

# What the tree must hold.
foreach(f
    include/BMPVintage.h
    ${LIBDIR}/libSorvaneBMPVintage.so
    ${LIBDIR}/libSorvaneBMPVintage.so.1
    ${LIBDIR}/libSorvaneBMPVintage.so.1.0.0.1
    ${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfig.cmake
    ${LIBDIR}/cmake/SorvaneBMPVintage/SorvaneBMPVintageConfigVersion.cmake
    ${LIBDIR}/pkgconfig/sorvanebmpvintage.pc
    bin/bmpvintage
    share/man/man1/bmpvintage.1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
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

set(project_dir ${SOURCE_DIR}/tests/consumer/project)
if(consume STREQUAL "cmake")
  run(${CMAKE_COMMAND} -S ${project_dir} -B ${WORK_DIR}/build -G ${GENERATOR}
      -DCMAKE_BUILD_TYPE=${CONFIG}
      -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build --config ${CONFIG})
  # Single- or multi-configuration generators.
  find_program(consumer_c consumer_c PATHS ${WORK_DIR}/build ${WORK_DIR}/build/${CONFIG}
               NO_DEFAULT_PATH REQUIRED)
  find_program(consumer_cpp consumer_cpp PATHS ${WORK_DIR}/build ${WORK_DIR}/build/${CONFIG}
               NO_DEFAULT_PATH REQUIRED)
  set(env "")
elseif(consume STREQUAL "pkg-config")
  if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config was not found when the build was configured "
                        "(Debian: apt-get install pkgconf)")
  endif()
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --modversion sorvanebmpvintage
                  OUTPUT_VARIABLE modversion OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT modversion STREQUAL "1.0.0.1")
    message(FATAL_ERROR "pkg-config --modversion sorvanebmpvintage: ${rc} '${modversion}'")
  endif()
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs sorvanebmpvintage
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config --cflags --libs sorvanebmpvintage failed")
  endif()
  message(STATUS "pkg-config flags: ${flags}")
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(consumer_c ${WORK_DIR}/consumer_c)
  set(consumer_cpp ${WORK_DIR}/consumer_cpp)
  run(${C_COMPILER} -std=c11 ${project_dir}/consumer.c ${flags} -o ${consumer_c})
  run(${CXX_COMPILER} -std=c++20 ${project_dir}/consumer.cpp ${flags} -o ${consumer_cpp})
  # As after `ldconfig`: the loader finds the library in the prefix.
  set(env ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR})
else()
  message(FATAL_ERROR "HOW must be cmake or pkg-config")
endif()

foreach(program ${consumer_c} ${consumer_cpp})
  execute_process(COMMAND ${env} ${program} WORKING_DIRECTORY ${WORK_DIR}/run
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message(STATUS "${program}: ${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${program} failed (${rc})")
  endif()
endforeach()
