# Debian packages of Quillet, built from the install rules with `cpack -G DEB` in a build tree:
#
#   quillet         the client, its desktop entry and icon
#   quillet-server  the chat server and its systemd unit (installed, not enabled)
#   libvarrow1      libvarrow.so.1
#   libvarrow-dev   the headers, the libvarrow.so link and the CMake package Varrow
#
# Dependencies on system libraries come from dpkg-shlibdeps; those between the four follow the
# components' DEPENDS; the SVG plugin, which the client loads rather than links, is named. The first
# line of a component's DESCRIPTION is its package's summary (no ";" in them: CMake lists).

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "The Quillet Team")
set(CPACK_PACKAGE_CONTACT "The Quillet Team <quillet@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Empty: each package's summary is the first line of its component's description (see above).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_GENERATOR DEB)
# The systemd unit is written while installing and names the program by its installed path: with
# DESTDIR staging, the install sees the package's own prefix (/usr) rather than the staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server varrow varrow_dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libvarrow.so.1 is not installed on the building machine: dpkg-shlibdeps finds it in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quillet)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "libqt6svg6")
# libcrypto is opened at the first file transfer (SHA-256 at the CPU's speed), not linked.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "libssl3")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME quillet-server)
set(CPACK_DEBIAN_VARROW_PACKAGE_NAME libvarrow1)
set(CPACK_DEBIAN_VARROW_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_VARROW_DEV_PACKAGE_NAME libvarrow-dev)
set(CPACK_DEBIAN_VARROW_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_VARROW_DEV_PACKAGE_DEPENDS "qt6-base-dev")

include(CPack)

cpack_add_component(varrow
    DISPLAY_NAME "Varrow library"
    DESCRIPTION "Varrow socket library\n libvarrow.so.1: varrow::Socket, an event-driven TCP socket for Qt programs.")
cpack_add_component(varrow_dev
    DISPLAY_NAME "Varrow development files"
    DESCRIPTION "Varrow socket library, development files\n The header varrow/Socket.h and the CMake package Varrow (find_package(Varrow), target Varrow::varrow)."
    DEPENDS varrow)
cpack_add_component(client
    DISPLAY_NAME "Quillet"
    DESCRIPTION "Desktop chat client for a local network\n Quillet logs in to a chat server, shows who is online and talks in one shared room. Two users can chat privately, key by key, over a direct connection, and sketch on a canvas."
    DEPENDS varrow)
cpack_add_component(server
    DISPLAY_NAME "Quillet server"
    DESCRIPTION "Chat server for Quillet\n quillet-server holds one chat room for the Quillet clients of a LAN. A systemd unit is installed, not enabled."
    DEPENDS varrow)

# Tests of the installed tree and of the packages. Not in sanitizer builds, whose programs are not
# the ones anybody installs.
if(QUILLET_BUILD_TESTS AND NOT QUILLET_SANITIZE)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tests ${CMAKE_BINARY_DIR}/packaging/tests)
endif()
