# The oldest controller boards the plug-in loads on, and the options that move
# that floor. The floor is the manylinux2014 baseline: glibc 2.17 and the C++
# runtime of GCC 4.8 (of GCC 5 for the C++11 string ABI, which 4.8 lacks). The
# options that move it are in cmake/Options.cmake.

set(ZOTA_FLOOR_GLIBC 2.17)
set(ZOTA_FLOOR_GCC 4.8.0)  # libgcc_s
set(ZOTA_FLOOR_CXXABI_ARM 1.3.3)  # ARM exception unwinding, libstdc++ of GCC 4.3 on
if(ZOTA_CXX11_ABI)
  set(ZOTA_STRING_ABI cxx11)
  set(ZOTA_FLOOR_GLIBCXX 3.4.21)
  set(ZOTA_FLOOR_CXXABI 1.3.9)
else()
  set(ZOTA_STRING_ABI old)
  set(ZOTA_FLOOR_GLIBCXX 3.4.19)
  set(ZOTA_FLOOR_CXXABI 1.3.7)
  add_compile_definitions(_GLIBCXX_USE_CXX11_ABI=0)
  # Sized operator delete came with GCC 5; the unsized one frees the same.
  add_compile_options(-fno-sized-deallocation)
  # Boost.System's bridge to std::error_category is emitted wherever its header
  # is included (Boost.Thread's mutexes include it) and needs GCC 5's
  # std::_V2::error_category. Nothing here converts Boost error codes to std
  # ones, and the switch drops only non-virtual conversions, so no Boost class
  # changes its layout or virtual table.
  add_compile_definitions(BOOST_NO_CXX11_HDR_SYSTEM_ERROR)
endif()
if(ZOTA_TIME64)
  # glibc's 64-bit time functions for 32-bit targets came with 2.34.
  add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)
  set(ZOTA_FLOOR_GLIBC 2.34)
endif()

# Read by cmake/check_floor.cmake, from CTest and from scripts/release.
set(ZOTA_FLOOR_FILE ${CMAKE_BINARY_DIR}/zota_up2200.floor.cmake)
file(WRITE ${ZOTA_FLOOR_FILE}
     "set(FLOOR GLIBC_${ZOTA_FLOOR_GLIBC} GLIBCXX_${ZOTA_FLOOR_GLIBCXX} CXXABI_${ZOTA_FLOOR_CXXABI} "
     "CXXABI_ARM_${ZOTA_FLOOR_CXXABI_ARM} GCC_${ZOTA_FLOOR_GCC})\n"
     "set(STRING_ABI ${ZOTA_STRING_ABI})\n")
