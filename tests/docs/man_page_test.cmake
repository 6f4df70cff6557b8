# SPDX-License-Identifier: Apache-2.0
# Checks of a built manual page (registered in man/CMakeLists.txt). Run as:
#   cmake -DCHECK=format -DPAGE=<page> -DGROFF=<groff> -P man_page_test.cmake
#       groff formats the page without a warning or an error (-ww: all warnings)
#   cmake -DCHECK=options -DPAGE=<page> -DPROGRAM=<program> [-DEMULATOR=<runner>] -P ...
#       the long options named in the page's OPTIONS section are those of `PROGRAM --help`
#   cmake -DCHECK=keys -DPAGE=<page> -DDOC=<docs/settings.md> -P ...
#       the page names the same settings keys as the document
cmake_minimum_required(VERSION 3.20)
foreach(var CHECK PAGE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()
file(READ "${PAGE}" page)

# tokens(TEXT REGEX VAR): the sorted distinct matches of REGEX in TEXT.
function(tokens text regex var)
    string(REGEX MATCHALL "${regex}" found "${text}")
    list(REMOVE_DUPLICATES found)
    list(SORT found)
    set(${var} "${found}" PARENT_SCOPE)
endfunction()

# same(WHAT A B): fails naming what only one of the lists A and B has.
function(same what a b a_name b_name)
    set(only_a ${a})
    set(only_b ${b})
    if(only_a AND b)
        list(REMOVE_ITEM only_a ${b})
    endif()
    if(only_b AND a)
        list(REMOVE_ITEM only_b ${a})
    endif()
    if(NOT a OR NOT b OR only_a OR only_b)
        message(FATAL_ERROR "${what} differ.\n  only in ${a_name}: ${only_a}\n"
                            "  only in ${b_name}: ${only_b}")
    endif()
    message(STATUS "${what} agree: ${a}")
endfunction()

if(CHECK STREQUAL "format")
    execute_process(COMMAND "${GROFF}" -man -ww -z -Tutf8 "${PAGE}"
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
        message(FATAL_ERROR "${PAGE}: groff reports (status ${status}):\n${errors}")
    endif()
    message(STATUS "${PAGE}: no warnings from groff")
elseif(CHECK STREQUAL "options")
    execute_process(COMMAND ${EMULATOR} "${PROGRAM}" --help RESULT_VARIABLE status
                    OUTPUT_VARIABLE help ERROR_VARIABLE help_err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} --help failed (${status}): ${help_err}")
    endif()
    tokens("${help}" "--[a-z][a-z-]*" from_help)
    if(NOT page MATCHES "\n\\.SH OPTIONS\n(.*)$")
        message(FATAL_ERROR "${PAGE} has no OPTIONS section")
    endif()
    string(REGEX REPLACE "\n\\.SH .*$" "" options "${CMAKE_MATCH_1}")
    string(REPLACE "\\-" "-" options "${options}")
    tokens("${options}" "--[a-z][a-z-]*" from_page)
    same("The options of ${PROGRAM} --help and of ${PAGE}" "${from_help}" "${from_page}" "--help"
         "the page")
elseif(CHECK STREQUAL "keys")
    file(READ "${DOC}" doc)
    tokens("${doc}" "MOD_KOVEX4_[A-Z0-9_]+" from_doc)
    tokens("${page}" "MOD_KOVEX4_[A-Z0-9_]+" from_page)
    same("The settings keys of ${DOC} and ${PAGE}" "${from_doc}" "${from_page}" "${DOC}"
         "the page")
else()
    message(FATAL_ERROR "unknown CHECK ${CHECK}")
endif()
