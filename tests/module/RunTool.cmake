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
if(NOT result EQUAL 1 OR NOT err STREQUAL "Error opening input file\n" OR EXISTS ${BIN}/work/never.bmp)
  message(FATAL_ERROR "missing input: status ${result}, error \"${err}\"")
endif()
message("bmpvintage.exe: toned the sample; a missing input gives status 1")
