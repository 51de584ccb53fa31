# Run while installing (install(CODE) in server/CMakeLists.txt): writes the systemd unit of
# quillet-server with the program's installed path. CMAKE_INSTALL_PREFIX is the prefix installed to
# (for a package, the package's own prefix, with DESTDIR pointing at the staging tree).
set(QUILLET_SERVER_BIN "${CMAKE_INSTALL_PREFIX}/${QUILLET_BIN_DIR}/quillet-server")
file(READ "${QUILLET_UNIT_TEMPLATE}" unit)
string(CONFIGURE "${unit}" unit @ONLY)
set(unit_file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${QUILLET_UNIT_DIR}/quillet-server.service")
message(STATUS "Installing: ${unit_file}")
file(WRITE "${unit_file}" "${unit}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_file}")
