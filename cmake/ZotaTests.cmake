# The one way every test is registered, so that all carry the same name prefix
# (their label: "driver.ParserTest.X", "e2e.history"), a label to select them
# by, and a timeout.
#
#   zota_add_test(<name> LABEL <label> SOURCES <file>... [LIBS <lib>...]
#                 [DEFINITIONS <def>...] [DEPENDS <target>...] [TIMEOUT <s>]
#                 [PROPERTIES <property> <value>...])
#     a GoogleTest program <name>; each of its tests becomes one CTest test.
#   zota_add_test(<name> LABEL <label> COMMAND <arg>... [TIMEOUT <s>]
#                 [PROPERTIES <property> <value>...])
#     one CTest test running a command (a script, a program without GoogleTest).
include(GoogleTest)

set(ZOTA_TEST_TIMEOUT 120)  # seconds, unless a test says otherwise
# Under qemu user-mode emulation code runs about ten times slower than here.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(ZOTA_TIMEOUT_FACTOR 4)
else()
  set(ZOTA_TIMEOUT_FACTOR 1)
endif()

function(zota_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL;TIMEOUT"
                        "SOURCES;COMMAND;LIBS;DEFINITIONS;DEPENDS;PROPERTIES")
  if(NOT arg_LABEL OR (NOT arg_SOURCES AND NOT arg_COMMAND))
    message(FATAL_ERROR "zota_add_test(${name}): LABEL and SOURCES or COMMAND are required")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${ZOTA_TEST_TIMEOUT})
  endif()
  math(EXPR arg_TIMEOUT "${arg_TIMEOUT} * ${ZOTA_TIMEOUT_FACTOR}")
  set(properties LABELS ${arg_LABEL} TIMEOUT ${arg_TIMEOUT} ${arg_PROPERTIES})
  if(arg_COMMAND)
    add_test(NAME ${arg_LABEL}.${name} COMMAND ${arg_COMMAND})
    set_tests_properties(${arg_LABEL}.${name} PROPERTIES ${properties})
    return()
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} test_support GTest::gtest GTest::gtest_main)
  if(arg_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${arg_DEFINITIONS})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  # Listing the tests runs the program, under qemu when cross-built: give it time.
  gtest_discover_tests(${name} TEST_PREFIX ${arg_LABEL}. DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES ${properties})
endfunction()
