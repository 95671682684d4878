# Looks for what a Windows build needs: the MinGW-w64 cross compilers, widl
# and windres for the triple `prefix`. Sets `out` to what is missing, or to
# an empty string when everything is here.
function(sorvane_find_mingw prefix out)
  string(REPLACE "_" "-" package ${prefix})
  string(REGEX REPLACE "-w64-mingw32$" "" package ${package})
  set(missing "")
  find_program(SORVANE_MINGW_CXX_${prefix} NAMES ${prefix}-g++-win32 ${prefix}-g++-posix ${prefix}-g++)
  if(NOT SORVANE_MINGW_CXX_${prefix})
    list(APPEND missing "no ${prefix}-g++ (Debian: g++-mingw-w64-${package})")
  endif()
  find_program(SORVANE_MINGW_WIDL_${prefix} NAMES ${prefix}-widl)
  if(NOT SORVANE_MINGW_WIDL_${prefix})
    list(APPEND missing "no ${prefix}-widl (Debian: mingw-w64-tools)")
  endif()
  find_program(SORVANE_MINGW_WINDRES_${prefix} NAMES ${prefix}-windres)
  if(NOT SORVANE_MINGW_WINDRES_${prefix})
    list(APPEND missing "no ${prefix}-windres (Debian: binutils-mingw-w64-${package})")
  endif()
  set(${out} "${missing}" PARENT_SCOPE)
endfunction()

# The 64-bit build and Wine to run its tests. Sets `out` to what is missing,
# or to an empty string when everything is here, and SORVANE_WINE to Wine's
# loader.
function(sorvane_find_windows_tools out)
  sorvane_find_mingw(x86_64-w64-mingw32 missing)
  # Debian's wine64 package puts the 64-bit loader here.
  find_program(SORVANE_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(SORVANE_WINE NAMES wine64)
  if(NOT SORVANE_WINE)
    list(APPEND missing "no wine64 (Debian: wine64)")
  endif()
  list(JOIN missing "; " missing)
  set(${out} "${missing}" PARENT_SCOPE)
  set(SORVANE_WINE "${SORVANE_WINE}" PARENT_SCOPE)
endfunction()

# Wine for ARM64 programs: the folder `wine_arm64.sh prepare` unpacked it in
# (SORVANE_WINE_ARM64, or the newest in the cache), and a kernel that lets it
# run. Sets `out` to what is missing, or to an empty string.
function(sorvane_find_wine_arm64 out)
  set(root "$ENV{SORVANE_WINE_ARM64}")
  if(NOT root)
    set(cache "$ENV{SORVANE_CACHE}")
    if(NOT cache)
      set(cache "$ENV{XDG_CACHE_HOME}")
    endif()
    if(NOT cache)
      set(cache "$ENV{HOME}/.cache")
    endif()
    file(GLOB roots LIST_DIRECTORIES true "${cache}/sorvane/wine-arm64-*/.complete")
    list(SORT roots COMPARE NATURAL ORDER DESCENDING)
    list(POP_FRONT roots root)
    get_filename_component(root "${root}" DIRECTORY)
  endif()
  execute_process(COMMAND bash ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine_arm64.sh check "${root}"
    OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    set(${out} "${why}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
  set(SORVANE_WINE_ARM64 "${root}" PARENT_SCOPE)
endfunction()

# A python3 that has pefile (Debian: python3-pefile), the independent PE
# reader of check_pe.py; `out` is empty when there is none.
function(sorvane_find_pefile_python out)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  set(found "")
  foreach(candidate IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
    if(NOT found AND EXISTS "${candidate}")
      execute_process(COMMAND ${candidate} -c "import pefile"
        RESULT_VARIABLE no_pefile OUTPUT_QUIET ERROR_QUIET)
      if(no_pefile EQUAL 0)
        set(found ${candidate})
      endif()
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
