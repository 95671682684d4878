# Runs the Windows bmpvintage program on the sample under EMULATOR.
#   cmake -DTOOL=<bmpvintage.exe> -DBIN=<folder with the DLL and sample.bmp> -DEMULATOR=<list> -P RunTool.cmake
get_filename_component(tool ${TOOL} NAME)

# Runs the tool in BIN with the given arguments (after an optional ENV list
# of variables), setting `result` and `err`. Standard error goes through a
# file: the Wine server the first run starts keeps what it inherits open, and
# a pipe would hold up every run until the server exits.
function(run_tool)
  cmake_parse_arguments(PARSE_ARGV 0 run "" "" "ENV")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${run_ENV} ${EMULATOR} ${tool}
      ${run_UNPARSED_ARGUMENTS}
    WORKING_DIRECTORY ${BIN} RESULT_VARIABLE result ERROR_FILE ${BIN}/work/tool-stderr.txt)
  file(READ ${BIN}/work/tool-stderr.txt err)
  set(result "${result}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE ${BIN}/work/tool-out.bmp)
run_tool(sample.bmp work/tool-out.bmp)
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

run_tool(no-such-file.bmp work/never.bmp)
if(NOT result EQUAL 1 OR NOT err MATCHES "Error opening input file( \\([^\n]*\\))?\n$" OR EXISTS ${BIN}/work/never.bmp)
  message(FATAL_ERROR "missing input: status ${result}, error \"${err}\"")
endif()

# Names outside ASCII reach the program as UTF-16 (wmain). Wine reads the
# Unix command line in the locale's character set.
set(name "work/vintage-é中")
file(COPY_FILE ${BIN}/sample.bmp "${BIN}/${name}.bmp")
file(REMOVE "${BIN}/${name}-out.bmp")
run_tool("${name}.bmp" "${name}-out.bmp" ENV LC_ALL=C.UTF-8)
if(NOT result EQUAL 0 OR NOT EXISTS "${BIN}/${name}-out.bmp")
  message(FATAL_ERROR "bmpvintage on a name outside ASCII failed (${result}): ${err}")
endif()
file(SHA256 "${BIN}/${name}-out.bmp" wide_hash)
if(NOT wide_hash STREQUAL out_hash)
  message(FATAL_ERROR "bmpvintage gave other bytes for the same image under another name")
endif()

# A read-only output (Wine shows a file without write permission as
# FILE_ATTRIBUTE_READONLY) is refused, and kept as it was.
set(readonly ${BIN}/work/tool-readonly.bmp)
file(REMOVE ${readonly})
file(COPY_FILE ${BIN}/sample.bmp ${readonly})
file(CHMOD ${readonly} PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
run_tool(sample.bmp work/tool-readonly.bmp)
file(SHA256 ${readonly} readonly_hash)
file(CHMOD ${readonly} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(REMOVE ${readonly})
if(NOT result EQUAL 1 OR NOT err MATCHES "Error opening output file( \\([^\n]*\\))?\n$" OR
    NOT readonly_hash STREQUAL in_hash)
  message(FATAL_ERROR "read-only output: status ${result}, error \"${err}\"")
endif()

# A folder is no file to replace: refused before anything is written, and
# left as it was.
file(REMOVE_RECURSE ${BIN}/work/tool-folder)
file(MAKE_DIRECTORY ${BIN}/work/tool-folder)
run_tool(sample.bmp work/tool-folder)
file(GLOB left ${BIN}/work/tool-folder/*)
if(NOT result EQUAL 1 OR NOT err MATCHES "Error opening output file( \\([^\n]*\\))?\n$" OR left OR
    NOT IS_DIRECTORY ${BIN}/work/tool-folder)
  message(FATAL_ERROR "folder as output: status ${result}, error \"${err}\"")
endif()

# An output that is a symbolic link (a Unix one: Wine shows it as the file it
# leads to): the file is replaced and the link kept.
set(linked ${BIN}/work/tool-linked.bmp)
file(REMOVE ${linked} ${BIN}/work/tool-link.bmp)
file(COPY_FILE ${BIN}/sample.bmp ${linked})
file(CREATE_LINK tool-linked.bmp ${BIN}/work/tool-link.bmp SYMBOLIC)
run_tool(sample.bmp work/tool-link.bmp)
set(linked_hash "")
if(EXISTS ${linked})
  file(SHA256 ${linked} linked_hash)
endif()
if(NOT result EQUAL 0 OR NOT IS_SYMLINK ${BIN}/work/tool-link.bmp OR
    NOT linked_hash STREQUAL out_hash)
  message(FATAL_ERROR "output through a link: status ${result}, error \"${err}\", the file it "
    "leads to ${linked_hash}")
endif()
file(REMOVE ${linked} ${BIN}/work/tool-link.bmp)

# Two writers at once to one new output (execute_process runs its commands
# together): each succeeds, or fails with "Error writing output file" when
# the other's image took the name after it checked it; the output is one
# whole toned image and no temporary file is left.
foreach(round RANGE 3)
  file(REMOVE ${BIN}/work/tool-two.bmp)
  execute_process(COMMAND ${EMULATOR} ${tool} sample.bmp work/tool-two.bmp
    COMMAND ${EMULATOR} ${tool} sample.bmp work/tool-two.bmp
    WORKING_DIRECTORY ${BIN} RESULTS_VARIABLE results ERROR_FILE ${BIN}/work/tool-stderr.txt)
  file(READ ${BIN}/work/tool-stderr.txt err)
  string(REPLACE "Error writing output file" "" other "${err}")
  file(GLOB left ${BIN}/work/*bmpvintage-*)
  set(two_hash "")
  if(EXISTS ${BIN}/work/tool-two.bmp)
    file(SHA256 ${BIN}/work/tool-two.bmp two_hash)
  endif()
  if(NOT results MATCHES "^(0;[01]|1;0)$" OR other MATCHES "Error" OR left OR
      NOT two_hash STREQUAL out_hash)
    message(FATAL_ERROR "two writers: status ${results}, error \"${err}\", left ${left}")
  endif()
endforeach()

# Paths of more than 300 characters, in nested folders: given plainly
# (relative) and in the \\?\ form (Wine's drive Z: is the Unix root).
string(REPEAT p 60 top)
set(deep work/${top})
foreach(letter IN ITEMS q r s t)
  string(REPEAT ${letter} 60 part)
  string(APPEND deep /${part})
endforeach()
file(MAKE_DIRECTORY ${BIN}/${deep})
file(COPY_FILE ${BIN}/sample.bmp ${BIN}/${deep}/in.bmp)
string(REPLACE "/" "\\" verbatim "\\\\?\\Z:${BIN}/${deep}/")
foreach(folder IN ITEMS "${deep}/" "${verbatim}")
  file(REMOVE ${BIN}/${deep}/out.bmp)
  run_tool("${folder}in.bmp" "${folder}out.bmp")
  file(SHA256 ${BIN}/${deep}/out.bmp long_hash)
  if(NOT result EQUAL 0 OR NOT long_hash STREQUAL out_hash)
    message(FATAL_ERROR "bmpvintage along ${folder}: status ${result}, error \"${err}\"")
  endif()
endforeach()
file(REMOVE_RECURSE ${BIN}/work/${top})
message("bmpvintage.exe: toned the sample, under an ASCII name and another and along paths of "
  "more than 300 characters and through a link, and by two writers at once; a missing input gives "
  "status 1, a read-only output or a folder status 1")
