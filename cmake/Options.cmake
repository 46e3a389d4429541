# Every option of the build, in one place.

# What to build.
option(ZOTA_PLUGIN_ONLY "Build only zota_up2200.so, against ZOTA_FRAMEWORK_INCLUDE_DIR" OFF)
set(ZOTA_FRAMEWORK_INCLUDE_DIR "" CACHE PATH
    "Plug-in-only build: folder holding the controller's host/qdx_device.h and host/qdx_provider.h")
option(ZOTA_BUILD_TESTS "Build the test suite" ON)
option(ZOTA_BUILD_TOOLS "Build the controller program and the UPS simulator" ON)
option(ZOTA_BUILD_BENCH "Build the benchmarks" ON)
option(ZOTA_BUILD_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(ZOTA_WERROR "Treat compiler warnings as errors" OFF)

# The controller board the plug-in is built for (cmake/Floor.cmake).
option(ZOTA_CXX11_ABI
       "C++11 std::string ABI; OFF for controllers built with _GLIBCXX_USE_CXX11_ABI=0" ON)
option(ZOTA_TIME64 "64-bit time_t on 32-bit targets; the board then needs glibc 2.34" OFF)
# Only optimised, uninstrumented builds are shipped and checked: sanitizer and
# coverage runtimes add libraries, and unoptimised code keeps library checks
# that optimisation proves dead (the allocator's overflow check, say, whose
# throw helper needs GCC 11's runtime).
set(zota_shipped_build ON)
if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   OR "${CMAKE_CXX_FLAGS} ${CMAKE_MODULE_LINKER_FLAGS}" MATCHES "-fsanitize|--coverage|-fprofile")
  set(zota_shipped_build OFF)
endif()
option(ZOTA_CHECK_FLOOR "Test the plug-in's symbol versions against the floor" ${zota_shipped_build})

# qdx-host's status page, API and metrics need Debian's cpp-httplib; without it
# qdx-host is built all the same and refuses --http.
option(ZOTA_HTTP "Build qdx-host's HTTP server (needs cpp-httplib)" ON)
set(ZOTA_CHART_JS "/usr/share/javascript/chart.js/chart.min.js"
    CACHE FILEPATH "Chart library qdx-host serves to the status page")
