# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Velumo developers

# velumo_add_test(<name> <sources>... [LIBS <targets>...] [ENVIRONMENT <vars>...] [NO_CTEST])
# builds one QtTest executable, links the shared test support (which brings the stand-in tool
# along) and registers it with CTest, headless unless ENVIRONMENT says otherwise.
function(velumo_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "NO_CTEST" "" "LIBS;ENVIRONMENT")
    add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE velumo_testsupport ${arg_LIBS})
    if(NOT arg_NO_CTEST)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${arg_ENVIRONMENT}")
    endif()
endfunction()

# velumo_expect_compile_error(<name> <source> <regex> LIBS <targets>...) registers a CTest test
# that builds <source> with the usage requirements of <targets> and passes only when the build
# fails with an error matching <regex>: any other compile error fails the test.
function(velumo_expect_compile_error name source regex)
    cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "LIBS")
    add_library(${name} OBJECT EXCLUDE_FROM_ALL ${source})
    target_link_libraries(${name} PRIVATE ${arg_LIBS})
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target ${name})
    # Two builds of one tree at once fight over ninja's files: one at a time.
    set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "${regex}"
                                             RESOURCE_LOCK build_tree)
endfunction()
