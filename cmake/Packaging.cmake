# The Debian package of the studio tools, halcyne-tools_<version>_<arch>.deb, made by CPack from the
# "tools" install component (tools/Install.cmake) and nothing else of the project:
#   cpack --config build/release/CPackConfig.cmake -B build/package   (scripts/package-tools does it all)
# Installs under /usr: the three tools, their man pages, the README and its docs/, the copyright file and a
# changelog.
# Its Depends line is computed from the tools' shared libraries by dpkg-shlibdeps.

# Sanitizer and fuzz builds carry instrumented tools (or none): nothing to package there.
if(HALCYNE_SANITIZE OR HALCYNE_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(HALCYNE_PACKAGE_MAINTAINER "Halcyne developers <halcyne@example.org>" CACHE STRING
    "Maintainer of the tools' Debian package: 'Name <address>'")

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _halcyne_deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT _halcyne_deb_arch)
  set(_halcyne_deb_arch amd64)
endif()

# A package without a Debian revision is a native one, whose changelog is changelog.gz. One entry, for the
# packaged version, dated by SOURCE_DATE_EPOCH when it is set (else the time of configuring).
string(TIMESTAMP _halcyne_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_halcyne_changelog ${CMAKE_BINARY_DIR}/package-tools/changelog)
file(CONFIGURE OUTPUT ${_halcyne_changelog} @ONLY CONTENT
"halcyne-tools (@PROJECT_VERSION@) unstable; urgency=medium

  * Halcyne @PROJECT_VERSION@.

 -- @HALCYNE_PACKAGE_MAINTAINER@  @_halcyne_changelog_date@
")
execute_process(COMMAND gzip -9nc ${_halcyne_changelog} OUTPUT_FILE ${_halcyne_changelog}.gz
                COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${_halcyne_changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/halcyne-tools
        COMPONENT tools-debian)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
# The tools and the changelog only: the updater ships in the player archive (scripts/package).
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};tools;/"
                                 "${CMAKE_BINARY_DIR};${PROJECT_NAME};tools-debian;/")
set(CPACK_PACKAGE_NAME halcyne-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${HALCYNE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "studio tools of the Halcyne game updater")
# Lines of at most 80 columns, as dpkg shows them.
set(CPACK_PACKAGE_DESCRIPTION "\
Tools for a studio that deploys the Halcyne updater with its game.
halcyne-publish publishes a folder as a package of a delivery site and signs
its manifests and node lists. halcyne-stamp reads or rewrites the
configuration stamped into a built updater. halcyne-delivery serves a
published site on the local machine the way the delivery service does, with
faults on demand, for trying a deployment before it goes out.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PACKAGE_NAME halcyne-tools)
set(CPACK_DEBIAN_FILE_NAME halcyne-tools_${PROJECT_VERSION}_${_halcyne_deb_arch}.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_halcyne_deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${HALCYNE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
