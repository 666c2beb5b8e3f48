# What `make install` and `make package` put where, below PREFIX:
#   bin/tavod, bin/lcsf             the programs (they find lib/tavo through their RPATH)
#   lib/tavo/                       the host's shared libraries
#   lib/tavo/plugins/               the output plug-ins (tavo_add_output_plugin installs each)
#   share/tavo/web/                 the control and preview pages
#   lib/systemd/system/tavod.service, lib/udev/rules.d/60-tavo.rules
#   share/man/man8/tavod.8, share/man/man1/lcsf.1
#   share/doc/tavo/                 the guides, outputs/TYPE.md (each output's keys), examples/media, copyright
# tavod finds lib/tavo/plugins and share/tavo/web beside its own bin/ without options.
set(TAVO_INSTALL_LIBDIR lib/tavo)
set(TAVO_INSTALL_PLUGINDIR lib/tavo/plugins)

# Installing copies what is built; it does not build the tests first (make install
# and make package build the `installables` target instead).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set_target_properties(tavod lcsf_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${TAVO_INSTALL_LIBDIR}")
set_target_properties(tavohost tavohw tavomqtt PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS tavod lcsf_tool RUNTIME DESTINATION bin)
install(TARGETS tavohost tavohw tavomqtt LIBRARY DESTINATION ${TAVO_INSTALL_LIBDIR})
install(FILES web/index.html web/preview.html DESTINATION share/tavo/web)
install(FILES docs/man/tavod.8 DESTINATION share/man/man8)
install(FILES docs/man/lcsf.1 DESTINATION share/man/man1)
install(FILES README.md docs/tavod.md docs/gpio.md docs/lcsf.md docs/plugins.md docs/bus.md
              packaging/debian/copyright DESTINATION share/doc/tavo)
# A media folder to copy and start from (its sequences/ is empty: lcsf makes one).
install(DIRECTORY packaging/examples/media DESTINATION share/doc/tavo/examples PATTERN .keep EXCLUDE)
install(FILES packaging/60-tavo.rules DESTINATION lib/udev/rules.d)
# The unit names the program where this install puts it; the prefix is known only
# when installing (make package installs below /usr, make install below PREFIX).
install(CODE "
    set(TAVO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
    set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tavod.service\")
    message(STATUS \"Installing: \${unit}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/tavod.service.in\" \"\${unit}\" @ONLY)
")

get_property(TAVO_PLUGINS GLOBAL PROPERTY TAVO_OUTPUT_PLUGINS)
add_custom_target(installables DEPENDS tavod lcsf_tool tavohost tavohw tavomqtt ${TAVO_PLUGINS})

# make package: a .deb built with CPack.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavo developers <tavo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lighting-show player daemon with output plug-ins")
set(CPACK_PACKAGE_DESCRIPTION
    "tavod plays lighting-show sequences on time to LED controllers, panels, displays and \
network receivers through output plug-ins, with a control page, a configuration \
check and a systemd service. lcsf inspects, converts and verifies sequence files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The debugging symbols stay in the build; a board gets the programs small.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The packages of the libraries it links, found by dpkg-shlibdeps; the host's own
# libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# The maintainer scripts make the user, groups and media folder; useradd comes
# from passwd.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A cross build (cmake/toolchain-armhf.cmake sets TAVO_DEB_ARCH) is packaged for the
# board: CPack would name the build machine's architecture, and dpkg-shlibdeps must
# read the programs with the board's objdump and find the libraries, and the
# packages holding them, in the board's root (its own dpkg database).
if(TAVO_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TAVO_DEB_ARCH})
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackHostArch.cmake)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${TAVO_DEB_ARCH})\n")
    if(CMAKE_SYSROOT)
        set(libdirs ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
                    ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
        list(JOIN libdirs ":" libdirs)
        file(APPEND ${CPACK_PROJECT_CONFIG_FILE}
             "set(ENV{DPKG_ADMINDIR} ${CMAKE_SYSROOT}/var/lib/dpkg)\n"
             "set(ENV{LD_LIBRARY_PATH} ${libdirs})\n")
    endif()
endif()
include(CPack)
