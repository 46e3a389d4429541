# How every test is registered, so that all carry the same name prefix (their
# label: "driver.ParserTest.X", "e2e.history"), a label to select them by, and
# a timeout.
#
#   zota_test_program(<target> LABEL <label> SOURCES <file>... [LIBS <lib>...]
#                     [DEFINITIONS <def>...] [DEPENDS <target>...] [TIMEOUT <s>]
#                     [PROPERTIES <property> <value>...])
#     a GoogleTest program; each of its tests becomes one CTest test.
#   zota_test_command(<name> LABEL <label> COMMAND <arg>... [TIMEOUT <s>]
#                     [PROPERTIES <property> <value>...])
#     one CTest test running a command (a script, a program without GoogleTest).
include(GoogleTest)

set(ZOTA_TEST_TIMEOUT 120)  # seconds, unless a test says otherwise

function(zota_test_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL;TIMEOUT"
                        "SOURCES;LIBS;DEFINITIONS;DEPENDS;PROPERTIES")
  if(NOT arg_LABEL OR NOT arg_SOURCES)
    message(FATAL_ERROR "zota_test_program(${target}): LABEL and SOURCES are required")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${ZOTA_TEST_TIMEOUT})
  endif()
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LIBS} test_support GTest::gtest GTest::gtest_main)
  if(arg_DEFINITIONS)
    target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${target} ${arg_DEPENDS})
  endif()
  # Listing the tests runs the program, under qemu when cross-built: give it time.
  gtest_discover_tests(${target} TEST_PREFIX ${arg_LABEL}. DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES LABELS ${arg_LABEL} TIMEOUT ${arg_TIMEOUT} ${arg_PROPERTIES})
endfunction()

function(zota_test_command name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL;TIMEOUT" "COMMAND;PROPERTIES")
  if(NOT arg_LABEL OR NOT arg_COMMAND)
    message(FATAL_ERROR "zota_test_command(${name}): LABEL and COMMAND are required")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${ZOTA_TEST_TIMEOUT})
  endif()
  add_test(NAME ${arg_LABEL}.${name} COMMAND ${arg_COMMAND})
  set_tests_properties(${arg_LABEL}.${name} PROPERTIES LABELS ${arg_LABEL} TIMEOUT ${arg_TIMEOUT}
                                                       ${arg_PROPERTIES})
endfunction()
