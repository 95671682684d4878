# The Windows ZIP as a user gets it: made by `cpack -G ZIP` in the MinGW
# build, unpacked, its program run on the sample (by name and as a filter),
# and a C host built against its import library and header, then run with
# its DLL; the examples the same against the core DLL. Everything runs under
# EMULATOR.
#   cmake -DBINARY=<MinGW build dir> -DWORK=<scratch dir> -DCPACK=<cpack> -DSAMPLE=<sample.bmp>
#         -DHOST=<C host source> -DCC=<MinGW C compiler> -DHOST_CXX=<C++ host source>
#         -DCXX=<MinGW C++ compiler> -DEXAMPLES=<examples dir> -DEMULATOR=<list>
#         -P RunZip.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
run("cpack -G ZIP" ${CPACK} -G ZIP --config ${BINARY}/CPackConfig.cmake -B ${WORK})
file(GLOB zip ${WORK}/sorvanebmpvintage-1.0.0.1-windows-*.zip)
if(NOT zip)
  message(FATAL_ERROR "cpack -G ZIP made no sorvanebmpvintage-1.0.0.1-windows-*.zip")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${WORK}/unpacked)
file(GLOB top LIST_DIRECTORIES true ${WORK}/unpacked/*)
foreach(f bin/SorvaneBMPVintage.DLL bin/bmpvintage.exe lib/libSorvaneBMPVintage.dll.a
          include/BMPVintage.h bin/libbmpvintage-1.dll lib/libbmpvintage.dll.a include/bmpv.h
          README.md LICENSE)
  if(NOT EXISTS ${top}/${f})
    message(FATAL_ERROR "not in the ZIP: ${f}")
  endif()
endforeach()

# The program, by name and through standard input and output.
set(bin ${top}/bin)
configure_file(${SAMPLE} ${bin}/sample.bmp COPYONLY)
run("bmpvintage.exe sample.bmp" ${EMULATOR} bmpvintage.exe sample.bmp toned.bmp
  WORKING_DIRECTORY ${bin})
execute_process(COMMAND ${EMULATOR} bmpvintage.exe - -
  INPUT_FILE ${bin}/sample.bmp OUTPUT_FILE ${bin}/piped.bmp ERROR_VARIABLE err
  WORKING_DIRECTORY ${bin} RESULT_VARIABLE rc)
file(SHA256 ${bin}/sample.bmp sample)
file(SHA256 ${bin}/toned.bmp toned)
file(SHA256 ${bin}/piped.bmp piped)
file(READ ${bin}/sample.bmp sample_headers LIMIT 54 HEX)
file(READ ${bin}/toned.bmp toned_headers LIMIT 54 HEX)
if(toned STREQUAL sample OR NOT toned_headers STREQUAL sample_headers)
  message(FATAL_ERROR "bmpvintage.exe from the ZIP did not tone the sample")
endif()
if(NOT rc EQUAL 0 OR NOT piped STREQUAL toned)
  message(FATAL_ERROR "bmpvintage.exe - - from the ZIP: status ${rc}, ${err}")
endif()

# C and C++ hosts (the latter holds the README's C++ example) against the
# ZIP's header and import library; the DLL beside them.
run("building the C host" ${CC} -std=c11 -Wall -Wextra -Werror ${HOST}
  -I${top}/include -L${top}/lib -lSorvaneBMPVintage -static-libgcc -o ${bin}/host_c.exe)
run("the C host" ${EMULATOR} host_c.exe WORKING_DIRECTORY ${bin})
run("building the C++ host" ${CXX} -std=c++20 -Wall -Wextra -Werror ${HOST_CXX}
  -I${top}/include ${top}/lib/libSorvaneBMPVintage.dll.a -static -o ${bin}/host_cpp.exe)
run("the C++ host" ${EMULATOR} host_cpp.exe WORKING_DIRECTORY ${bin})
# The examples against the core DLL: every call on the sample, the C++ one
# through a UTF-8 name that is not ASCII (cpp-sépia.bmp). MinGW-w64's own
# printf: arm64 Wine's C runtime reads ucrtbase's va_list the Linux way.
run("building the C example" ${CC} -std=c11 -Wall -Wextra -Werror -D__USE_MINGW_ANSI_STDIO=1
  ${EXAMPLES}/bmpv_example.c
  -I${top}/include ${top}/lib/libbmpvintage.dll.a -static-libgcc -o ${bin}/bmpv_example_c.exe)
run("the C example" ${EMULATOR} bmpv_example_c.exe sample.bmp WORKING_DIRECTORY ${bin})
run("building the C++ example" ${CXX} -std=c++17 -Wall -Wextra -Werror ${EXAMPLES}/bmpv_example.cpp
  -I${top}/include ${top}/lib/libbmpvintage.dll.a -static -o ${bin}/bmpv_example_cpp.exe)
run("the C++ example" ${EMULATOR} bmpv_example_cpp.exe sample.bmp WORKING_DIRECTORY ${bin})
file(SHA256 "${bin}/cpp-sépia.bmp" utf8_named)
if(NOT utf8_named STREQUAL toned)
  message(FATAL_ERROR "the C++ example's cpp-sépia.bmp is not the program's output")
endif()
message("The ZIP holds the DLLs, import libraries, headers, program, README and LICENSE; "
  "its program toned the sample and C and C++ hosts and examples built against it ran")
