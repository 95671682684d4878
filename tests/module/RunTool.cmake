# Runs the Windows bmpvintage program on the sample under EMULATOR.
#   cmake -DTOOL=<bmpvintage.exe> -DBIN=<folder with the DLL and sample.bmp> -DEMULATOR=<list> -P RunTool.cmake
get_filename_component(tool ${TOOL} NAME)
file(REMOVE ${BIN}/work/tool-out.bmp)
execute_process(COMMAND ${EMULATOR} ${tool} sample.bmp work/tool-out.bmp
  WORKING_DIRECTORY ${BIN} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "bmpvintage failed (${result}): ${err}")
endif()
file(SIZE ${BIN}/sample.bmp in_size)
file(SIZE ${BIN}/work/tool-out.bmp out_size)
file(SHA256 ${BIN}/sample.bmp in_hash)
file(SHA256 ${BIN}/work/tool-out.bmp out_hash)
file(READ ${BIN}/sample.bmp in_headers LIMIT 54 HEX)
file(READ ${BIN}/work/tool-out.bmp out_headers LIMIT 54 HEX)
if(NOT in_size EQUAL out_size OR in_hash STREQUAL out_hash OR NOT in_headers STREQUAL out_headers)
  message(FATAL_ERROR "bmpvintage wrote ${out_size} bytes, not a toned copy of ${in_size}")
endif()

execute_process(COMMAND ${EMULATOR} ${tool} no-such-file.bmp work/never.bmp
  WORKING_DIRECTORY ${BIN} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 1 OR NOT err MATCHES "Error opening input file\n$" OR EXISTS ${BIN}/work/never.bmp)
  message(FATAL_ERROR "missing input: status ${result}, error \"${err}\"")
endif()

# Names outside ASCII reach the program as UTF-16 (wmain). Wine reads the
# Unix command line in the locale's character set.
set(name "work/vintage-é中")
file(COPY_FILE ${BIN}/sample.bmp "${BIN}/${name}.bmp")
file(REMOVE "${BIN}/${name}-out.bmp")
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${EMULATOR} ${tool}
    "${name}.bmp" "${name}-out.bmp"
  WORKING_DIRECTORY ${BIN} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT EXISTS "${BIN}/${name}-out.bmp")
  message(FATAL_ERROR "bmpvintage on a name outside ASCII failed (${result}): ${err}")
endif()
file(SHA256 "${BIN}/${name}-out.bmp" wide_hash)
if(NOT wide_hash STREQUAL out_hash)
  message(FATAL_ERROR "bmpvintage gave other bytes for the same image under another name")
endif()
message("bmpvintage.exe: toned the sample, under an ASCII name and another; a missing input gives status 1")
