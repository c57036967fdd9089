# Installation (GNUInstallDirs) and the Debian package (CPack).
#
# cmake --install <build> [--prefix P]   programs, man pages, systemd units, the system user's
#                                        sysusers.d entry, desktop entry and icon, and the
#                                        README with docs/, the sample site and the Prometheus
#                                        examples under the documentation directory
# cpack -G DEB (in the build directory)  the same as a .deb

# Where the systemd units go; systemd also searches <prefix>/lib/systemd/system for /usr/local.
set(XARVEL_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory for the systemd units, relative to the install prefix")
set(XARVEL_SYSUSERSDIR "lib/sysusers.d" CACHE STRING
    "Directory for the sysusers.d entry, relative to the install prefix")

install(TARGETS xarvel kirn mc1000-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The units name the installed programs by their full path, as the prefix is at install time
# (cmake --install --prefix, and CPack's /usr).
foreach(unit kirn.service xarvel@.service kirn-metrics.service)
  install(CODE "
    set(XARVEL_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/resources/${unit}.in\"
                   \"${CMAKE_BINARY_DIR}/units/${unit}\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/units/${unit} DESTINATION ${XARVEL_SYSTEMD_UNITDIR})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/kirn.sysusers DESTINATION ${XARVEL_SYSUSERSDIR}
        RENAME kirn.conf)

# Desktop entry and icon, for workstations with a display.
install(FILES ${CMAKE_SOURCE_DIR}/resources/xarvel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/xarvel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Documentation: the README with the pages and pictures it links (docs/, kept beside it so that
# its relative links hold where it is installed), the sample site, and a Prometheus scrape
# configuration with alert rules for the exporter (kirn metrics).
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB _doc_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/site ${CMAKE_SOURCE_DIR}/examples/prometheus
                  ${CMAKE_SOURCE_DIR}/examples/grafana
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# A man page per program, written from its --help at build time.
set(_man_dir ${CMAKE_BINARY_DIR}/man)
set(_pages)
foreach(entry "xarvel|router-control driver for one MC1000 router controller|OFF"
              "kirn|workstation bus host, interface stand-in and command client|ON"
              "mc1000-sim|MC1000 router controller emulator|OFF")
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 prog)
  list(GET fields 1 summary)
  list(GET fields 2 subcommands)
  add_custom_command(
    OUTPUT ${_man_dir}/${prog}.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${prog}> -DNAME=${prog}
            "-DSUMMARY=${summary}" -DVERSION=${PROJECT_VERSION} -DSUBCOMMANDS=${subcommands}
            -DOUT=${_man_dir}/${prog}.1 -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS ${prog} ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Writing the man page of ${prog}"
    VERBATIM)
  list(APPEND _pages ${_man_dir}/${prog}.1)
endforeach()
add_custom_target(manpages ALL DEPENDS ${_pages})
install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package. Its dependencies are the shared libraries' packages, as dpkg-shlibdeps
# finds them for the installed programs (Qt 6 Core/Network/Widgets/Gui, libsystemd, the C++
# runtime).
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "xarvel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(CPACK_PACKAGE_CONTACT "KIRN control system maintainers <kirn@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Router-control driver for the MC1000 router controller")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "xarvel drives up to 26 routers behind one MC1000 router controller for the KIRN\n"
       "broadcast control system. The package holds the driver, the kirn workstation bus host\n"
       "and tool with its metrics exporter, the controller emulator mc1000-sim, systemd units\n"
       "(kirn.service, xarvel@.service, kirn-metrics.service), a sample site and example\n"
       "Prometheus configuration and alert rules.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The crosspoint history of kirn metrics is an SQLite database (the scan finds the library too;
# named here so that the package says it whatever the scan finds).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.35)")
# The platform plugins for a display (offscreen, used headless, comes with Qt's GUI library) and
# the SVG image plugin that draws the window's icon: loaded at run time, not linked, so the
# shared-library scan cannot find them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/resources/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)
