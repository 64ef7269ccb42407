# The Debian package: KvxTCPServer in /opt/kavero (a directory the service
# writes its working tree into), the tools in /usr/bin, the sysusers.d entry
# of the user kavero, and maintainer scripts that install and remove the
# systemd unit through the program.
# Build it from a build tree with `cpack -G DEB`.
install(TARGETS KvxTCPServer DESTINATION opt/kavero)
install(TARGETS kvx-send kvx-monitor DESTINATION usr/bin)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sysusers/kvx-tcp-server.conf
        DESTINATION usr/lib/sysusers.d)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvx-tcp-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kavero)
set(CPACK_PACKAGE_CONTACT "Kavero gateway maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Kavero TCP Server: TCP/IP message gateway for taxi dispatch")
set(CPACK_PACKAGE_DESCRIPTION
    "The service KaveroTCPIP answers framed XML messages over TCP, archives\n\
them, broadcasts enciphered UDP status datagrams and keeps a SQL Server\n\
connection open through ODBC. Includes the tools kvx-send and kvx-monitor.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libsystemd0, libodbc2 | unixodbc, tdsodbc, libcivetweb1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
