# Read by cpack for each generator: the Debian package holds the system
# install, the archive the portable bundle.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL system)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    set(CPACK_COMPONENTS_ALL bundle)
    set(CPACK_PACKAGE_FILE_NAME tarnel-${CPACK_PACKAGE_VERSION}-linux-x86_64)
endif()
