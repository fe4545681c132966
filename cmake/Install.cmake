set(CMAKE_INSTALL_DOCDIR share/doc/tarnel) # not the project's capitalised name
include(GNUInstallDirs)

# The AppStream id, which names the desktop entry and the metadata.
set(app_id org.tarnel.tarnel)

# --- A system install, and the Debian package made of it -------------------
#   cmake --install build --prefix <prefix> --component system
install(TARGETS tarnel tarnel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT system)
install(FILES packaging/${app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT system)
foreach(size 16 32 48 64)
    install(FILES packaging/icons/tarnel${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tarnel.png COMPONENT system)
endforeach()
configure_file(packaging/${app_id}.metainfo.xml.in ${app_id}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${app_id}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT system)

# Man pages and the changelog go compressed, as Debian has them (-n: no
# time stamp inside, so the package is the same at every build).
set(compressed)
foreach(file tarnel.1 tarnel-sim.1 changelog)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${file}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
        COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${file} > ${out}
        DEPENDS packaging/${file} VERBATIM)
    list(APPEND compressed ${out})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarnel.1.gz
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarnel-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT system)
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT system)

# The service for a board without a screen, one instance per port, and the
# user it runs as; installed, never enabled. The unit starts /usr/bin/tarnel,
# where the package puts it.
install(FILES packaging/tarnel@.service DESTINATION lib/systemd/system COMPONENT system)
install(FILES packaging/tarnel.sysusers DESTINATION lib/sysusers.d RENAME tarnel.conf
        COMPONENT system)

# --- The portable bundle: one folder, the program and its files side by side,
# since a copy in a folder its user may write keeps tarnel.ini and log.csv there.
install(TARGETS tarnel tarnel-sim RUNTIME DESTINATION . COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION . COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES src/app/icons/tarnel32.xpm DESTINATION . RENAME tarnel.xpm COMPONENT bundle
        EXCLUDE_FROM_ALL)

# cpack builds the bundle (TGZ), cpack -G DEB the package; each generator
# takes its own component (cmake/CPackPerGenerator.cmake).
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VENDOR "The Tarnel developers")
set(CPACK_PACKAGE_CONTACT "The Tarnel developers <tarnel@tarnel.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL ${TARNEL_HOMEPAGE})
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the X11 and Wayland
# platform plugins, and the font the window is laid out for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
# Create the service's user, restart its running instances after an upgrade,
# stop them at removal and have systemd forget the unit then.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis, then the long description: CPack indents it and turns the
# empty lines into paragraph breaks.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial line logger for instruments, sensor boards and PLCs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarnel records the text lines that an instrument, a sensor board or a PLC
sends over a serial port into a log file, reliably and for days. Each line
the device ends with CR LF is written to the file with its commas replaced
by a delimiter of your choice, optionally preceded by the date and the time.

Line-state changes and line errors show in the window's status line. A USB
adapter that is unplugged is reopened when it comes back, and logging goes
on in the same file. Tarnel never sends anything to the device.

The package also contains tarnel-sim, a simulated instrument on a
pseudo-terminal for trying Tarnel without a device.")
include(CPack)
