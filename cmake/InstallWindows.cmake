# Windows: tarnel.exe beside the DLLs it needs, in the build's bin folder
# (so that it and the tests run there, under Wine too) and in the portable
# zip, which keeps tarnel.ini and log.csv beside tarnel.exe:
#   cpack -G ZIP  ->  tarnel-<version>-windows-x86_64.zip

# The MinGW runtime, from the compiler that built everything.
set(runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path ${path} REALPATH)
    list(APPEND runtime_dlls ${path})
endforeach()

# libmosquitto and the OpenSSL libraries it loads, cross-built into the
# toolchain's prefix: the DLLs are in its bin folder, beside the lib folder
# that holds the import library found in src/.
get_filename_component(mosquitto_bin_dir ${MOSQUITTO_LIBRARY} DIRECTORY)
get_filename_component(mosquitto_bin_dir ${mosquitto_bin_dir}/../bin ABSOLUTE)
set(mqtt_dlls)
foreach(dll libmosquitto.dll libssl-3-x64.dll libcrypto-3-x64.dll)
    if(NOT EXISTS ${mosquitto_bin_dir}/${dll})
        message(FATAL_ERROR "${dll} is not in ${mosquitto_bin_dir} (tools/win-toolchain.sh builds it)")
    endif()
    list(APPEND mqtt_dlls ${mosquitto_bin_dir}/${dll})
endforeach()

set(qt_dlls $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>)
# Qt looks for plugins in these folders beside the program.
set(platform_plugin $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>)
set(style_plugin $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>)

add_custom_target(windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARNEL_OUTPUT_DIR}/platforms
            ${TARNEL_OUTPUT_DIR}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${runtime_dlls} ${mqtt_dlls} ${qt_dlls}
            ${TARNEL_OUTPUT_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${platform_plugin} ${TARNEL_OUTPUT_DIR}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${style_plugin} ${TARNEL_OUTPUT_DIR}/styles
    COMMAND_EXPAND_LISTS VERBATIM)

install(TARGETS tarnel RUNTIME DESTINATION .)
install(FILES ${runtime_dlls} ${mqtt_dlls} ${qt_dlls} README.md DESTINATION .)
install(FILES ${platform_plugin} DESTINATION platforms)
install(FILES ${style_plugin} DESTINATION styles)

# The installer, from the same files as the zip and installed.txt, which
# makes tarnel.exe an installed copy (src/settings/filelocations.cpp):
#   cmake --build build-win --target msi  ->  tarnel-<version>-windows-x86_64.msi
# wixl cannot give a component a condition; msibuild then writes the one that
# installs the Startup shortcut with STARTATLOGIN=1, or when the Tarnel being
# replaced had it and STARTATLOGIN is not given (packaging/tarnel.wxs). It
# holds at a full uninstall too, or the shortcut would be left behind: a
# component whose condition is false then is not touched.
# Nor can wixl make an upgrade replace the same version: every build has its
# own ProductCode, and a rebuilt 0.x would otherwise install beside 0.x.
# msibuild writes the upgrade row again with 513, msidbUpgradeAttributes-
# MigrateFeatures | ...VersionMaxInclusive (Attributes is part of its key).
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
# The version the MSI carries: the program's, unless a package rebuilt for a
# packaging fix is given a later one (tools/win-test.sh makes one, to upgrade).
set(TARNEL_MSI_VERSION "" CACHE STRING "The MSI's version, if not the program's")
set(msi_version ${PROJECT_VERSION})
if(TARNEL_MSI_VERSION)
    set(msi_version ${TARNEL_MSI_VERSION})
endif()
set(msi ${CMAKE_BINARY_DIR}/tarnel-${msi_version}-windows-x86_64.msi)
set(msi_files ${CMAKE_BINARY_DIR}/msi-files)
# The installed programs' icon; wixl finds files by relative paths only.
file(RELATIVE_PATH msi_icon ${CMAKE_BINARY_DIR} ${TARNEL_ICON})
file(RELATIVE_PATH msi_marker ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/packaging/installed.txt)
set(startup_condition
    "UPDATE `Component` SET `Condition` = 'STARTATLOGIN = 1 OR (NOT STARTATLOGIN AND STARTEDATLOGIN) OR REMOVE ~= \"ALL\"' WHERE `Component` = 'StartAtLogin'")
# The one code every Tarnel MSI has, by which an install finds the one it replaces.
set(msi_upgrade_code 6E1D2A4B-3F0C-4E7A-9B5D-2C8F1A7E4D90)
set(drop_upgrade "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
set(same_version_upgrade
    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{${msi_upgrade_code}}', '${msi_version}', 513, 'WIX_UPGRADE_DETECTED')")
if(WIXL AND MSIBUILD)
    add_custom_target(msi
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${msi_files}
        COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${msi_files} --strip
        # wixl takes the files' paths relative to where it runs.
        COMMAND ${WIXL} -a x64 -D Version=${msi_version} -D SourceDir=msi-files
                -D Homepage=${TARNEL_HOMEPAGE} -D IconFile=${msi_icon} -D MarkerFile=${msi_marker}
                -D UpgradeCode=${msi_upgrade_code}
                -o ${msi} ${CMAKE_SOURCE_DIR}/packaging/tarnel.wxs
        COMMAND ${MSIBUILD} ${msi} -q ${startup_condition} -q ${drop_upgrade}
                -q ${same_version_upgrade}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
        BYPRODUCTS ${msi}
        COMMENT "Building ${msi}"
        VERBATIM)
else()
    add_custom_target(msi
        COMMAND ${CMAKE_COMMAND} -E echo "The installer needs wixl and msibuild (Debian's wixl and msitools), which tools/win-toolchain.sh installs."
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()
add_dependencies(msi tarnel windows_runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VENDOR "The Tarnel developers")
set(CPACK_PACKAGE_FILE_NAME tarnel-${PROJECT_VERSION}-windows-x86_64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
