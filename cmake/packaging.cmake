# Packages, made by "cpack" in a build folder (scripts/package.sh makes them all):
#   Linux:   a .tar.gz with the service and the launcher kit, and one Debian package per
#            component: korvessa-client-services (the service in /usr/bin) and
#            korvessa-launcher-kit-dev (headers, static library, CMake package files).
#   Windows: a .zip with the service and, in bin/ beside it, the optional tools (presence-check,
#            the demo launcher and the Discord stand-in).
# Installed programs are stripped; the licence goes into share/doc/<package>/ (for the static
# service, with the notices of what it links: cmake/static-service.cmake).
set(CPACK_PACKAGE_NAME korvessa-client-services)
set(CPACK_PACKAGE_VENDOR "The korvessa-client-services authors")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# One archive holding every packed component. Archives are built per component so that the
# components installed only on request (the kit) are in them as well.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)

# Each Debian package's description: its summary line, then the text that explains it. (No
# package-wide summary is set: CPack would put it in front of both.)
set(CPACK_COMPONENT_SERVICE_DISPLAY_NAME "korvessa-client-services")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "sidecar service for game launchers
A game launcher starts korvessa-client-services beside itself. The service
listens on a loopback port, hands a launch ticket from the launcher to the
game client exactly once, follows the game's authentication-proxy log and
mirrors the player's state in the Discord desktop client. It ends by itself
when the launcher is gone.")
set(CPACK_COMPONENT_KIT_DISPLAY_NAME "korvessa launcher kit")
set(CPACK_COMPONENT_KIT_DESCRIPTION "C++ launcher kit for korvessa-client-services
A static C++20 library for game launchers: it starts korvessa-client-services
with a fresh access token, reads its address and calls its HTTP routes
(launch ticket, presence session). Headers under korvessa/launcher_kit/ and a
CMake package: find_package(KorvessaLauncherKit) gives korvessa::launcher_kit.")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_COMPONENTS_ALL service demo)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_COMPONENTS_ALL service kit)
endif()

set(KCS_PACKAGE_MAINTAINER "The korvessa-client-services authors <maintainers@korvessa.invalid>"
    CACHE STRING "Maintainer named in the Debian packages")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KCS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME korvessa-client-services)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION games)
set(CPACK_DEBIAN_KIT_PACKAGE_NAME korvessa-launcher-kit-dev)
set(CPACK_DEBIAN_KIT_PACKAGE_SECTION libdevel)
# The kit starts the service at run time, so a launcher built with it wants the service too.
set(CPACK_DEBIAN_KIT_PACKAGE_SUGGESTS korvessa-client-services)
# The service's library dependencies: none when it is linked statically (KCS_STATIC_SERVICE,
# the packaged build), else as dpkg-shlibdeps finds them (package dpkg-dev). The kit is a static
# library and headers, which need only a C++20 compiler.
find_program(KCS_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KCS_STATIC_SERVICE)
  set(CPACK_DEBIAN_SERVICE_PACKAGE_SHLIBDEPS OFF)
elseif(KCS_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_SERVICE_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()

include(CPack)
