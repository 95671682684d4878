# Installs the build into a fresh prefix and builds and runs the consumer
# programs against it, through CMake (find_package) or pkg-config.
#
#   cmake -DHOW=cmake|pkg-config -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=...
#         -DLIBDIR=... -DCONFIG=... -DC_COMPILER=... -DCXX_COMPILER=...
#         -DGENERATOR=... -DPKG_CONFIG=... -P RunConsumerTest.cmake
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

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})

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

set(project_dir ${SOURCE_DIR}/tests/consumer/project)
if(HOW STREQUAL "cmake")
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
elseif(HOW STREQUAL "pkg-config")
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
