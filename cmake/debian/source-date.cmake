# SPDX-License-Identifier: Apache-2.0
# Read by cpack before it makes each package: sets SOURCE_DATE_EPOCH, the time cpack gives every
# member of the archives, unless the packager set it. It is the time of the last commit of the
# source tree, or, without git, the date of the changelog's top entry; never the time of the build.
# In a cross build it also gives dpkg-shlibdeps the target's architecture (DEB_HOST_ARCH), so that
# it looks for the target's libraries and uses the target's objdump.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    execute_process(COMMAND git -C "${CPACK_KOVEX4_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE status ERROR_QUIET)
    if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
        set(epoch ${CPACK_KOVEX4_CHANGELOG_EPOCH})
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
if(CPACK_KOVEX4_HOST_ARCH)
    set(ENV{DEB_HOST_ARCH} ${CPACK_KOVEX4_HOST_ARCH})
endif()
