# Install rules and packages (through CPack: .deb and .tar.gz, on Windows .zip and an installer).
#
# The installed tree is the program's directory: the supervisor looks for config.ini, writes
# log/ and backup/ and installs update packages beside its own file, so it sits at the top of
# the prefix, with the tools and the documents below it:
#
#   <prefix>/localcashserver            the supervisor
#   <prefix>/config.ini.example         copy to config.ini and edit
#   <prefix>/tools/cashsim              simulated cash application and command-line client
#   <prefix>/tools/cashpkg              update package tool
#   <prefix>/share/doc/localcashserver  README.md, config.ini.example and docs/ as in the sources,
#                                       so that the links between them hold
#
# The .deb installs under /opt/localcashserver; the .tar.gz holds the same tree in one
# directory, to be unpacked wherever the program is to live. The .deb alone also installs the
# service: the systemd unit, the polkit rule and maintainer scripts that make the service's user,
# enable, start and stop it (component "service", which neither the archive nor a plain
# "cmake --install" installs).
#
# On Windows a program finds its libraries beside itself, so all three programs sit at the top,
# with the DLLs they load (found from their imports, see windowsruntime.cmake) and the documents
# in doc/. The .zip holds that tree in one directory; the installer (NSIS) puts it in
# C:\LocalCashServer.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT WIN32)
    set(CMAKE_INSTALL_PREFIX "/opt/localcashserver" CACHE PATH "Installation directory" FORCE)
endif()

if(WIN32)
    set(LCS_TOOLS_DIR .)
    set(LCS_DOC_DIR doc)
else()
    set(LCS_TOOLS_DIR tools)
    set(LCS_DOC_DIR "share/doc/localcashserver")
endif()

install(TARGETS localcashserver RUNTIME DESTINATION .)
install(TARGETS cashsim cashpkg RUNTIME DESTINATION ${LCS_TOOLS_DIR})
install(FILES config.ini.example DESTINATION .)
# Set before the changelog names it.
set(LCS_PACKAGE_MAINTAINER "localcashserver developers <localcashserver@example.org>"
    CACHE STRING "Maintainer named in the packages")

install(FILES README.md config.ini.example DESTINATION ${LCS_DOC_DIR})
install(FILES docs/protocol.md docs/configuration.md docs/operations.md
        DESTINATION ${LCS_DOC_DIR}/docs)
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/windowsruntime.cmake)
    lcs_install_runtime_libraries(localcashserver cashsim cashpkg)
else()
    install(FILES docs/examples/localcashserver-till.conf DESTINATION ${LCS_DOC_DIR}/docs/examples)
    install(FILES packaging/linux/localcashserver.service DESTINATION /lib/systemd/system
            COMPONENT service EXCLUDE_FROM_ALL)
    install(FILES packaging/linux/50-localcashserver.rules DESTINATION /usr/share/polkit-1/rules.d
            COMPONENT service EXCLUDE_FROM_ALL)
    # What every Debian package holds: its changelog (compressed, without a time stamp of gzip's
    # own) and copyright, and here the reason for its one accepted lintian error.
    string(TIMESTAMP LCS_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
    configure_file(packaging/linux/changelog.in changelog @ONLY)
    execute_process(COMMAND gzip -9nc INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/changelog
                    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz packaging/linux/copyright
            DESTINATION /usr/share/doc/localcashserver COMPONENT service EXCLUDE_FROM_ALL)
    install(FILES packaging/linux/lintian-overrides DESTINATION /usr/share/lintian/overrides
            RENAME localcashserver COMPONENT service EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME "localcashserver")
set(CPACK_PACKAGE_VENDOR "localcashserver developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Supervisor of a shop till's cash application")
set(CPACK_PACKAGE_CONTACT "${LCS_PACKAGE_MAINTAINER}")
if(WIN32)
    set(CPACK_GENERATOR "ZIP;NSIS")
else()
    set(CPACK_GENERATOR "DEB;TGZ")
endif()
set(CPACK_STRIP_FILES ON)
# Values reach the packaging tools as written, quotes and all.
set(CPACK_VERBATIM_VARIABLES ON)
# The install prefix of each package is chosen in cpackoptions.cmake.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpackoptions.cmake")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LCS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The extended description; the first line of the control field is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "localcashserver starts the till's cash application and acts on its commands
over UDP on the local host: restart, reboot, power off, daily maintenance with
a Python control script, and update packages installed over its own directory
with a backup of every replaced file, followed by a restart of itself.
It logs everything in a fixed line format. The package also holds cashsim, a
simulated cash application for tests, and runs the supervisor as a systemd
service.")
# The Qt and zlib libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintenance control script is run by Python.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3")
# The service's user is made with adduser; polkitd grants it reboot, power-off and the restart.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "polkitd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/../packaging/linux/postinst"
    "${CMAKE_CURRENT_LIST_DIR}/../packaging/linux/prerm"
    "${CMAKE_CURRENT_LIST_DIR}/../packaging/linux/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The Windows installer: into C:\LocalCashServer, not under Program Files, which the till user
# cannot write; the supervisor writes its log, backups and updates into its own directory, so the
# installer gives the local Users group the right to change it (S-1-5-32-545, whatever the
# group is called in the system's language).
set(CPACK_PACKAGE_INSTALL_DIRECTORY "LocalCashServer")
set(CPACK_NSIS_INSTALL_ROOT "C:")
set(CPACK_NSIS_DISPLAY_NAME "localcashserver ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "localcashserver")
# A 64-bit installer for the 64-bit programs (NSIS makes 32-bit ones unless told).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS
    "nsExec::Exec 'icacls \"$INSTDIR\" /grant *S-1-5-32-545:(OI)(CI)M'")

include(CPack)
