# Debian packages of the gateway: `cpack -G DEB` in a build folder makes kovex4_<version>_<arch>.deb
# from the install rules (daemon, simulator, push receiver, init script, systemd unit, example
# settings), for amd64 from a native build and for armhf from a cross build.
#
# The settings file belongs to the user and is not in the package: the postinst script creates it
# from settings.example when there is none, so installing or upgrading never overwrites it.

# Staging with DESTDIR keeps CMAKE_INSTALL_PREFIX at the final prefix, which the init script and
# the unit are filled in with (see packaging/CMakeLists.txt).
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kovex4)
set(CPACK_PACKAGE_VENDOR kovex4)
set(CPACK_PACKAGE_CONTACT "kovex4 maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus TCP gateway for a serial field device")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Serves the items of one field device on a serial line as Modbus TCP holding registers\n\
(functions 3 and 16) and pushes configured register ranges to a remote Modbus TCP server.\n\
Includes kovex4-devsim, a simulated field device for commissioning, and kovex4-pushrecv,\n\
a small receiver for the pushes.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# dpkg-shlibdeps finds the dependencies of a native build; in a cross build the target's C
# library is not a dpkg-installed package of the target architecture, so it is named by hand
# (the programs carry their C++ runtime, see kovex4_static_runtime).
if(CMAKE_CROSSCOMPILING)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    else()
        message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# Maintainer scripts, filled in with the install prefix.
set(KOVEX4_PREFIX ${CMAKE_INSTALL_PREFIX})
set(kovex4_debian ${PROJECT_BINARY_DIR}/debian)
foreach(script postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${kovex4_debian}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kovex4_debian}/${script})
endforeach()

include(CPack)

# The amd64 package installed with dpkg into a private mount namespace (nothing on the machine
# changes), its init script starting, serving and stopping the daemon. Needs root.
if(KOVEX4_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT KOVEX4_SANITIZE)
    add_test(NAME package_deb_installs_and_runs
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-package.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_deb_installs_and_runs PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
