# SPDX-License-Identifier: Apache-2.0
# Fails when DOC differs from what GENERATOR prints, so the register map document cannot drift
# from the table built into the gateway. Run as:
#   cmake -DGENERATOR=<kovex4-regmap-doc> -DDOC=<docs/register-map.md> [-DEMULATOR=<runner>] -P ...
# EMULATOR (a list) runs a cross-compiled generator, as CTest does for the other tests.
foreach(var GENERATOR DOC)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()
if(NOT EXISTS "${DOC}")
    message(FATAL_ERROR "${DOC} is missing; create it with: ${GENERATOR} > ${DOC}")
endif()

execute_process(COMMAND ${EMULATOR} "${GENERATOR}"
                OUTPUT_VARIABLE generated ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${GENERATOR} failed (${status}): ${errors}")
endif()
file(READ "${DOC}" committed)
if(NOT generated STREQUAL committed)
    message(FATAL_ERROR "${DOC} does not match the register table; regenerate it with:\n"
                        "  ${GENERATOR} > ${DOC}")
endif()
message(STATUS "${DOC} matches the register table")
