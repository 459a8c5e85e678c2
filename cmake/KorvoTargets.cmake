# The few functions every layer's CMakeLists uses to declare its targets, so that all
# of them get the same warnings, the same include root and the same test registration.
#
# Includes name their full path from the repository root ("service/logging/korvo_log.h",
# "platform/testing/machine_test.h"); the platform's API is included as "platform/<area>.h"
# from platform/include, which korvo_platform exports.

# Common settings of every target of the project.
function(korvo_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
  if(KORVO_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# korvo_add_library(<target> SOURCES ... [PUBLIC libs...] [PRIVATE libs...])
# A static library whose headers its users include by their path from the repository.
function(korvo_add_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  korvo_target_defaults(${target})
endfunction()

# korvo_add_executable(<target> SOURCES ... [LIBS ...])
function(korvo_add_executable target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  korvo_target_defaults(${target})
endfunction()

# korvo_add_test(<target> SOURCES ... [LIBS ...])
# A GoogleTest binary registered with CTest, one CTest entry per test case. Every test
# also runs under ThreadSanitizer (the tsan preset runs the whole suite), so a test that
# starts threads needs nothing more than this.
function(korvo_add_test target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  korvo_target_defaults(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} korvo_platform_testing GTest::gtest GTest::gmock GTest::gtest_main)
  # Machines laid out by tests link their companion files to the built korvo-companion
  # (tools/companion); without it they would get stand-in files and say so.
  add_dependencies(${target} korvo-companion)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
