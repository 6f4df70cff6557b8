# SPDX-License-Identifier: Apache-2.0
# kovex4_time_bits(RESULT NAME LIBRARY...): the time_t that the target's shared libraries LIBRARY
# (as the linker names them: crypto for libcrypto.so) were built with, in RESULT: 64, 32, or none
# when they call no clock or time function of the C library at all. A 32-bit target is built with
# a 64-bit time_t (see the top CMakeLists.txt), but a system's libraries may have a 32-bit one
# (Debian 12's armhf packages; Debian 13's have a 64-bit one). Which it is shows in the C library
# functions they import: __time64, __clock_gettime64, __gmtime64_r and the like for a 64-bit
# time_t, time, clock_gettime, gmtime_r for a 32-bit one. A status line names the files and what
# they import; a library importing both kinds stops the configuration.
function(kovex4_time_bits result name)
    if(NOT CMAKE_OBJDUMP)
        message(FATAL_ERROR "no objdump for the target: the time_t of ${name} cannot be checked")
    endif()
    # The C library's functions that take or give a time_t or a struct holding one.
    set(functions "time|clock_gettime|gettimeofday|gmtime|localtime|mktime|timegm|difftime")
    string(APPEND functions "|nanosleep|select|pselect|ppoll|timespec_get")
    set(time64 "")
    set(time32 "")
    set(paths "")
    foreach(library IN LISTS ARGN)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${library}.so
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "lib${library}.so of the target not found (${name}'s -dev package "
                                "for the target's architecture)")
        endif()
        file(REAL_PATH "${path}" path)
        execute_process(COMMAND ${CMAKE_OBJDUMP} -T "${path}" RESULT_VARIABLE status
                        OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${CMAKE_OBJDUMP} -T ${path}: ${errors}")
        endif()
        # The undefined (imported) symbols, one a line, the name last.
        string(REGEX MATCHALL "[^\n]*\\*UND\\*[^\n]*" imports "${symbols}")
        foreach(line IN LISTS imports)
            if(line MATCHES "[ \t](__(${functions})64(_r)?)$")
                list(APPEND time64 "${CMAKE_MATCH_1}")
            elseif(line MATCHES "[ \t]((${functions})(_r)?)$")
                list(APPEND time32 "${CMAKE_MATCH_1}")
            endif()
        endforeach()
        list(APPEND paths "${path}")
    endforeach()
    list(REMOVE_DUPLICATES time64)
    list(REMOVE_DUPLICATES time32)
    list(JOIN paths ", " paths)
    if(time64 AND time32)
        message(FATAL_ERROR "${name}: ${paths}: its time_t cannot be told from its imports "
                            "(64-bit: '${time64}', 32-bit: '${time32}')")
    elseif(time64)
        list(JOIN time64 ", " found)
        set(bits 64)
        message(STATUS "${name}: ${paths}: 64-bit time_t (imports ${found})")
    elseif(time32)
        list(JOIN time32 ", " found)
        set(bits 32)
        message(STATUS "${name}: ${paths}: 32-bit time_t (imports ${found})")
    else()
        set(bits none)
        message(STATUS "${name}: ${paths}: no time_t (imports no clock or time function)")
    endif()
    set(${result} ${bits} PARENT_SCOPE)
endfunction()
