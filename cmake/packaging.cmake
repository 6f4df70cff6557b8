# SPDX-License-Identifier: Apache-2.0
# Debian packages: `cpack -G DEB` in a build folder makes one package per install component, for
# amd64 from a native build and for armhf from a cross build:
#   kovex4_<version>_<arch>.deb        component "daemon" (the default one): the daemon, its SysV
#                                      init script and systemd unit, the example settings, the
#                                      documentation, the manual pages kovex4(8) and
#                                      kovex4-settings(5), the maintainer scripts
#   kovex4-tools_<version>_<arch>.deb  component "tools": the commissioning programs kovex4-devsim,
#                                      kovex4-pushrecv and kovex4-probe and their manual pages
# A program joins the tools package with one line in its CMakeLists.txt:
#   install(TARGETS kovex4-probe RUNTIME DESTINATION bin COMPONENT tools)
#
# The settings file belongs to the site and is not in the package: the postinst script creates it
# from settings.example when there is none, so installing or upgrading never overwrites it.

# Staging with DESTDIR keeps CMAKE_INSTALL_PREFIX at the final prefix, which the init script and
# the unit are filled in with (see packaging/CMakeLists.txt).
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon tools)
set(CPACK_PACKAGE_NAME kovex4)
set(CPACK_PACKAGE_VENDOR "kovex4 developers")
set(CPACK_PACKAGE_CONTACT "kovex4 developers <kovex4-dev@lists.kovex4.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# Descriptions: the synopsis, then lines of at most 80 characters.
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME kovex4)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "Modbus TCP gateway for a serial field device
kovex4 serves the items of one field device on a serial line as Modbus TCP
holding registers (functions 3 and 16) and pushes configured register ranges
to a remote Modbus TCP server. Under systemd it runs as the unprivileged system
user kovex4, sandboxed; the SysV init script runs it as root.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kovex4-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "commissioning tools for the kovex4 Modbus TCP gateway
kovex4-probe checks a gateway's settings as the gateway reads them, reads the
field device through the gateway's own line set-up and register map showing
each serial exchange, scans for the device's station and line speed, and shows
the running gateway's counters. kovex4-devsim simulates the field device on a
pseudo-terminal or a serial port, optionally with faults; kovex4-pushrecv
receives and prints the gateway's pushes. With them a gateway can be tried out
before the field equipment is connected.")

# The maintainer scripts (filled in with the install prefix) create the user and the settings
# file and register the unit and the init script, which is a configuration file.
set(KOVEX4_PREFIX ${CMAKE_INSTALL_PREFIX})
set(kovex4_debian ${PROJECT_BINARY_DIR}/debian)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA "")
foreach(script postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${kovex4_debian}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${kovex4_debian}/${script})
endforeach()
file(WRITE ${kovex4_debian}/conffiles "${KOVEX4_INIT_DIR}/kovex4\n")
list(APPEND CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${kovex4_debian}/conffiles)

# Dependencies: the shared libraries the programs were linked against (they carry their C++
# runtime, see kovex4_static_runtime), by the packages and lowest versions dpkg-shlibdeps finds
# for them (the package names differ between releases: libssl3 and libssl3t64, libc-ares2 and
# libcares2), and adduser for the postinst. A cross build asks dpkg-shlibdeps for the target's
# architecture: the target's libraries are Debian's multiarch packages of it (libssl-dev:armhf and
# the others bring them and the armhf C library), whose symbols files name the versions.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS adduser)
# invoke-rc.d --skip-systemd-native in the prerm.
set(CPACK_DEBIAN_DAEMON_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    else()
        message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    # dpkg-shlibdeps reads the target's architecture from here (see debian/source-date.cmake).
    set(CPACK_KOVEX4_HOST_ARCH ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()

# Reproducible packages: two builds of one commit, in any folders and at any time, give the same
# bytes. The programs carry no build folder (see the top CMakeLists.txt); every file and folder in
# the archives is root's with fixed modes (folders 0755 whatever the umask), and cpack stamps
# every member with SOURCE_DATE_EPOCH: a packager's own, else the time of the source tree's last
# commit, else (a tree without git) the date of the changelog's top entry (debian/source-date.cmake).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_KOVEX4_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_KOVEX4_CHANGELOG_EPOCH ${KOVEX4_RELEASE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian/source-date.cmake)

include(CPack)

if(KOVEX4_TESTS AND NOT KOVEX4_SANITIZE)
    # Both packages checked by lintian (no errors, no warnings, no hardening tags; overrides carry
    # their reason) and their programs by hardening-check.
    add_test(NAME package_debs_pass_lintian
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/lint-package.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_debs_pass_lintian PROPERTIES TIMEOUT 600 LABELS packaging)
endif()
# Two builds of the current commit in other folders give byte-identical amd64 packages.
if(KOVEX4_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT KOVEX4_SANITIZE)
    add_test(NAME package_debs_reproducible
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-reproducible.sh ${PROJECT_SOURCE_DIR})
    set_tests_properties(package_debs_reproducible PROPERTIES TIMEOUT 600 LABELS packaging)
endif()
# The amd64 packages installed with dpkg into a private namespace (nothing on the machine
# changes): the user, the unit, the init script, the daemon serving as the unit would run it.
# Needs root.
if(KOVEX4_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT KOVEX4_SANITIZE)
    add_test(NAME package_deb_installs_and_runs
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-package.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_deb_installs_and_runs PROPERTIES TIMEOUT 300 LABELS packaging)
endif()
