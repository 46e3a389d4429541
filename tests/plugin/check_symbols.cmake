# Checks the dynamic linking contract of the plug-in:
#   cmake -DREADELF=<readelf> -DPLUGIN=<zota_up2200.so> -P check_symbols.cmake
# - "get_providers" is a defined, global, default-visibility function under its
#   plain name;
# - no library is needed that the controller process supplies (JsonCpp, Boost,
#   the controller's own qdx_framework);
# - the framework's symbols are left undefined for the loading process;
# - no unique symbols, which would keep the object from ever being unloaded.
cmake_minimum_required(VERSION 3.18)

foreach(var READELF PLUGIN)
  if(NOT ${var})
    message(FATAL_ERROR "check_symbols: -D${var}=... is required")
  endif()
endforeach()
if(NOT EXISTS "${PLUGIN}")
  message(FATAL_ERROR "check_symbols: ${PLUGIN} does not exist")
endif()

set(CHECK_NAME check_symbols)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ReadElf.cmake)

set(failures "")

# Symbol lines: Num: Value Size Type Bind Vis Ndx Name[@version]
run_readelf(dynsyms --dyn-syms)
string(REGEX MATCH "[^\n]* FUNC +GLOBAL +DEFAULT +[0-9]+ get_providers\n" entry "${dynsyms}\n")
if(NOT entry)
  list(APPEND failures "get_providers is not a defined global default-visibility function")
endif()

# The dynamic loader never unloads an object with unique symbols.
string(REGEX MATCHALL "[^\n]* UNIQUE [^\n]*" unique "${dynsyms}")
if(unique)
  list(GET unique 0 first)
  list(APPEND failures "unique symbols keep the plug-in from being unloaded, e.g. ${first}")
endif()

# Framework services the driver calls; the controller process defines them.
set(undefined_expected
    _ZN11QDXSPDevice8SendData     # QDXSPDevice::SendData
    _ZN11QDXSPDevice13RefreshStatus  # QDXSPDevice::RefreshStatus
    _ZN11QDXSPDeviceC2Ev          # QDXSPDevice::QDXSPDevice()
    _ZN10QDXVDevice6SendSP        # QDXVDevice::SendSP
    _ZN10QDXVDevice17SaveDeviceHistory
    _ZN10QDXVDevice21DoBatchCheckThreshold
    _ZN10QDXVDevice14CheckThreshold
    _Z9get_ttime)                 # get_ttime(ptime)
foreach(sym IN LISTS undefined_expected)
  string(REGEX MATCH " UND ${sym}[^\n]*" und "${dynsyms}")
  if(NOT und)
    list(APPEND failures "${sym}... is not an undefined symbol")
  endif()
  string(REGEX MATCH " [0-9]+ ${sym}[^\n]*" def "${dynsyms}")
  if(def)
    list(APPEND failures "${sym}... is defined in the plug-in")
  endif()
endforeach()

run_readelf(dynamic -d)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
foreach(line IN LISTS needed)
  if(line MATCHES "jsoncpp|boost|qdx_framework")
    list(APPEND failures "forbidden dependency: ${line}")
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${PLUGIN}:\n  ${text}")
endif()
message(STATUS "${PLUGIN}: dynamic symbols as expected")
