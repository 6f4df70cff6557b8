# SPDX-License-Identifier: Apache-2.0
# GoogleTest for a cross build: compiled with the target's compiler from Debian's source
# package (googletest, in /usr/src/googletest), since the host's libgtest cannot link into
# target programs. Provides the same GTest::gtest and GTest::gtest_main targets as
# find_package(GTest).
set(KOVEX4_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${KOVEX4_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${KOVEX4_GTEST_SOURCE} "
                        "(Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
# Not part of what the project installs or packages.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KOVEX4_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest defines the GTest:: aliases itself since 1.11; older sources need them here.
foreach(lib gtest gtest_main)
    if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()
