# Checks that a shared object loads on the oldest supported boards:
#   cmake -DREADELF=<readelf> -DPLUGIN=<file.so> -DFLOOR_FILE=<build>/zota_up2200.floor.cmake
#         -P check_floor.cmake
# - every symbol version it needs is at most the floor's for its library
#   (GLIBC_, GLIBCXX_, CXXABI_, GCC_); any other version fails;
# - it needs no library beyond the C and C++ runtimes, and exports none of
#   their symbols;
# - with the old string ABI, no dynamic symbol names a C++11 ABI (cxx11) type.
cmake_minimum_required(VERSION 3.18)

foreach(var READELF PLUGIN FLOOR_FILE)
  if(NOT ${var})
    message(FATAL_ERROR "check_floor: -D${var}=... is required")
  endif()
endforeach()
foreach(file "${PLUGIN}" "${FLOOR_FILE}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "check_floor: ${file} does not exist")
  endif()
endforeach()
include(${FLOOR_FILE})  # sets FLOOR and STRING_ABI

set(CHECK_NAME check_floor)
include(${CMAKE_CURRENT_LIST_DIR}/ReadElf.cmake)

set(failures "")
run_readelf(versions -V)
run_readelf(dynsyms --dyn-syms)

# Version needs: "Name: GLIBC_2.17  Flags: none  Version: 3"
string(REGEX MATCHALL "Name: [^ ]+  Flags" needs "${versions}")
foreach(need IN LISTS needs)
  string(REGEX REPLACE "Name: ([^ ]+)  Flags" "\\1" name "${need}")
  set(limit "")
  if(name MATCHES "^([A-Z_]+_)([0-9][0-9.]*)$")
    set(lib ${CMAKE_MATCH_1})
    set(version ${CMAKE_MATCH_2})
    foreach(f IN LISTS FLOOR)
      if(f MATCHES "^${lib}([0-9.]+)$")
        set(limit ${CMAKE_MATCH_1})
      endif()
    endforeach()
  endif()
  if(limit STREQUAL "")
    list(APPEND failures "${name} is outside the floor")
  elseif(version VERSION_GREATER limit)
    string(REGEX MATCHALL "[^ \n]+@${name}[ \n]" syms "${dynsyms}\n")
    list(REMOVE_DUPLICATES syms)
    string(REGEX REPLACE "[ \n]" "" syms "${syms}")
    list(JOIN syms ", " syms)
    list(APPEND failures "${name} > ${lib}${limit}, needed by: ${syms}")
  endif()
endforeach()

# The plug-in's own stand-in for this C library variable must stay hidden.
if(dynsyms MATCHES " [0-9]+ __libc_single_threaded[@\n]")
  list(APPEND failures "exports __libc_single_threaded, which belongs to the C library")
endif()

run_readelf(dynamic -d)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]*\\]" needed "${dynamic}")
foreach(line IN LISTS needed)
  if(NOT line MATCHES "\\[(libc|libm|libpthread|libdl|librt|libstdc\\+\\+|libgcc_s|ld-linux[^]]*)\\.so")
    list(APPEND failures "needs a library boards may lack: ${line}")
  endif()
endforeach()

if(STRING_ABI STREQUAL "old")
  string(REGEX MATCHALL "[^ \n]*cxx11[^ \n]*" cxx11 "${dynsyms}")
  if(cxx11)
    list(REMOVE_DUPLICATES cxx11)
    list(JOIN cxx11 ", " cxx11)
    list(APPEND failures "C++11 string ABI symbols in an old-ABI build: ${cxx11}")
  endif()
endif()

list(JOIN FLOOR " " floor_text)
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${PLUGIN} is above its floor (${floor_text}, ${STRING_ABI} string ABI):\n  ${text}")
endif()
message(STATUS "floor: ${floor_text}")
