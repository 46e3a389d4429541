# Locates the Debian packages the project builds against and wraps them in
# imported targets. The plug-in only takes their include paths; programs and
# tests link the libraries. The plug-in-only build looks for headers alone, of
# whatever Boost the controller was built with, wherever its SDK keeps them.
if(ZOTA_PLUGIN_ONLY)
  find_path(Boost_INCLUDE_DIR boost/version.hpp REQUIRED)
  set(Boost_INCLUDE_DIRS ${Boost_INCLUDE_DIR})
else()
  find_package(Boost 1.74 REQUIRED)
endif()
add_library(zota::boost_headers INTERFACE IMPORTED)
target_include_directories(zota::boost_headers SYSTEM INTERFACE ${Boost_INCLUDE_DIRS})

find_path(JSONCPP_INCLUDE_DIR json/value.h PATH_SUFFIXES jsoncpp REQUIRED)
add_library(zota::jsoncpp_headers INTERFACE IMPORTED)
target_include_directories(zota::jsoncpp_headers SYSTEM INTERFACE ${JSONCPP_INCLUDE_DIR})
if(ZOTA_PLUGIN_ONLY)
  return()
endif()

find_library(JSONCPP_LIBRARY NAMES jsoncpp REQUIRED)
add_library(zota::jsoncpp INTERFACE IMPORTED)
target_link_libraries(zota::jsoncpp INTERFACE zota::jsoncpp_headers ${JSONCPP_LIBRARY})

find_package(Threads REQUIRED)
