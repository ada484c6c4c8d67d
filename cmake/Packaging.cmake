# Debian packages, made by "cpack -G DEB" in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package does both):
#   libgxcore0     the shared libraries
#   libgxcore-dev  headers, pkg-config files, the CMake package
#   gxpolicy       the command-line tool, its manual pages and completion
#   gxpolicyd      the decision service, its systemd unit, configuration,
#                  manual pages and completion
# Dependencies on the Debian packages they link are computed by
# dpkg-shlibdeps from the binaries themselves. The files are named
# gxcore-PACKAGE_VERSION_ARCH.deb, so "apt install ./gxcore-*.deb" takes
# them all; the version is the project's, then the number of commits and
# the commit (0.1.0+git412.1a2b3c4d5e6f), so later builds sort later.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-list --count HEAD
                OUTPUT_VARIABLE GXCORE_GIT_COUNT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse --short=12 HEAD
                OUTPUT_VARIABLE GXCORE_PACKAGE_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(GXCORE_GIT_COUNT STREQUAL "" OR GXCORE_PACKAGE_COMMIT STREQUAL "")
  set(GXCORE_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(GXCORE_PACKAGE_VERSION "${PROJECT_VERSION}+git${GXCORE_GIT_COUNT}.${GXCORE_PACKAGE_COMMIT}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gxcore)
set(CPACK_PACKAGE_VERSION ${GXCORE_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "gxcore developers <gxcore@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "authorization decisions from a local replica of a policy database")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools daemon)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# dpkg-shlibdeps finds the project's own libraries in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libgxcore0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "gxcore libraries\n The shared libraries of gxcore: the policy database replica, its cache and\n the decision (libgxcore), and replicas over HTTP (libgxcore_remote).")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libgxcore-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "gxcore development files\n Headers, pkg-config files and the CMake package (find_package(GxCore)).")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
# The public headers include <lber.h>.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libldap-dev")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME gxpolicy)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "gxcore command-line tool\n gxpolicy creates, inspects, changes and queries policy databases, explains\n decisions and publishes snapshots for replicas.")
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME gxpolicyd)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION net)
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "gxcore decision service\n gxpolicyd answers authorization questions over HTTP from a local replica of\n a policy database, as a hardened systemd service.")
# The unit creates a fresh installation's empty database with gxpolicy.
set(CPACK_COMPONENT_DAEMON_DEPENDS runtime tools)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/daemon/postinst ${PROJECT_SOURCE_DIR}/packaging/deb/daemon/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/daemon/postrm ${PROJECT_SOURCE_DIR}/packaging/deb/daemon/conffiles)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_STRICT_PERMISSION ON)

foreach(component runtime dev tools daemon)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_FILE_NAME "gxcore-${CPACK_DEBIAN_${upper}_PACKAGE_NAME}_${GXCORE_PACKAGE_VERSION}_amd64.deb")
endforeach()
include(CPack)
