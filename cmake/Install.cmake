include(GNUInstallDirs)

# A system install: cmake --install build --prefix <prefix>
install(TARGETS tarnel tarnel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT system)
install(FILES packaging/tarnel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT system)
install(FILES src/app/icons/tarnel32.xpm DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
        RENAME tarnel.xpm COMPONENT system)

# The portable bundle: one folder, the program and its files side by side,
# since tarnel keeps tarnel.ini and log.csv beside itself.
install(TARGETS tarnel tarnel-sim RUNTIME DESTINATION . COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION . COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES src/app/icons/tarnel32.xpm DESTINATION . RENAME tarnel.xpm COMPONENT bundle
        EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VENDOR Tarnel)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL bundle)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_FILE_NAME tarnel-${PROJECT_VERSION}-linux-x86_64)
set(CPACK_ARCHIVE_FILE_NAME tarnel-${PROJECT_VERSION}-linux-x86_64)
include(CPack)
