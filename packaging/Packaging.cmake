# The Debian package (make package): the server and its tools in /opt/velmorserver (the
# server keeps its files beside its executable), links for the tools in /usr/bin, the
# settings as a conffile in /etc/velmorserver, a systemd unit, the README, the copyright,
# the changelog, the manual pages of the tools and the web client in /usr/share/velmorserver.

# Three packages, one per install component: velmorserver (everything installed without a
# component), and the C client library's runtime libvelmorclient0 and libvelmorclient-dev.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME server)

set(VELMOR_PACKAGE_FOLDER opt/velmorserver)
set(VELMOR_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${VELMOR_PACKAGING_OUT})

install(TARGETS velmorserver velmor-probe velmor-chat
        RUNTIME DESTINATION ${VELMOR_PACKAGE_FOLDER})
# The settings are a conffile in /etc, the place of conffiles; the server reads them through a
# link beside its executable.
install(FILES packaging/velmorserv.json DESTINATION etc/velmorserver
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CREATE_LINK /etc/velmorserver/velmorserv.json ${VELMOR_PACKAGING_OUT}/velmorserv.json SYMBOLIC)
install(FILES ${VELMOR_PACKAGING_OUT}/velmorserv.json DESTINATION ${VELMOR_PACKAGE_FOLDER})
install(FILES packaging/velmorserver.service DESTINATION lib/systemd/system)
# The web client, which the WebSocket port serves from the settings' default "webroot".
install(DIRECTORY web/ DESTINATION usr/share/velmorserver/web
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The manual pages name the project's version: made from packaging/<tool>.1.in.
foreach(tool velmor-chat velmor-probe)
  file(CREATE_LINK /${VELMOR_PACKAGE_FOLDER}/${tool} ${VELMOR_PACKAGING_OUT}/${tool} SYMBOLIC)
  install(FILES ${VELMOR_PACKAGING_OUT}/${tool} DESTINATION usr/bin)
  configure_file(packaging/${tool}.1.in ${VELMOR_PACKAGING_OUT}/${tool}.1 @ONLY)
  execute_process(COMMAND gzip -9 -n -c ${VELMOR_PACKAGING_OUT}/${tool}.1
                  OUTPUT_FILE ${VELMOR_PACKAGING_OUT}/${tool}.1.gz)
  install(FILES ${VELMOR_PACKAGING_OUT}/${tool}.1.gz DESTINATION usr/share/man/man1)
endforeach()

# The changelog is written by hand, its newest entry for the project's version: the test
# Version.WrittenOnce (scripts/check-version.py) fails when a new version has no entry.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${VELMOR_PACKAGING_OUT}/changelog.gz)
install(FILES packaging/copyright README.md ${VELMOR_PACKAGING_OUT}/changelog.gz
        DESTINATION usr/share/doc/velmorserver)
install(FILES packaging/lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME velmorserver)

file(WRITE ${VELMOR_PACKAGING_OUT}/conffiles "/etc/velmorserver/velmorserv.json\n")

# The C client library: the shared library and its soname link in the runtime package, with
# the symbols file and shlibs in its control; the header, the link for the linker, the
# pkg-config file and the example bot in the -dev package.
set(VELMOR_LIBRARY_FOLDER usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
install(TARGETS velmorclient LIBRARY DESTINATION ${VELMOR_LIBRARY_FOLDER} COMPONENT clientlib
        NAMELINK_SKIP PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS velmorclient LIBRARY DESTINATION ${VELMOR_LIBRARY_FOLDER} COMPONENT clientdev
        NAMELINK_ONLY)
install(FILES ${VELMOR_GENERATED_DIR}/sdk-c/velmor/client.h DESTINATION usr/include/velmor
        COMPONENT clientdev)
install(FILES ${CMAKE_BINARY_DIR}/sdk/c/velmorclient.pc
        DESTINATION ${VELMOR_LIBRARY_FOLDER}/pkgconfig COMPONENT clientdev)
install(FILES sdk/c/examples/bot.c DESTINATION usr/share/doc/libvelmorclient-dev/examples
        COMPONENT clientdev)
set(VELMOR_CLIENT_COMPONENTS clientlib clientdev)
set(VELMOR_CLIENT_PACKAGES libvelmorclient0 libvelmorclient-dev)
foreach(component package IN ZIP_LISTS VELMOR_CLIENT_COMPONENTS VELMOR_CLIENT_PACKAGES)
  install(FILES packaging/copyright ${VELMOR_PACKAGING_OUT}/changelog.gz
          DESTINATION usr/share/doc/${package} COMPONENT ${component})
endforeach()
install(FILES packaging/libvelmorclient0.lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME libvelmorclient0 COMPONENT clientlib)
# dpkg wants the symbols file under that name in the control archive; the ldconfig trigger
# updates the linker's cache after the library is installed or removed.
file(MAKE_DIRECTORY ${VELMOR_PACKAGING_OUT}/libvelmorclient0)
configure_file(sdk/c/libvelmorclient0.symbols ${VELMOR_PACKAGING_OUT}/libvelmorclient0/symbols COPYONLY)
file(WRITE ${VELMOR_PACKAGING_OUT}/libvelmorclient0/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server clientlib clientdev)
set(CPACK_PACKAGE_NAME velmorserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})  # the package file velmorserver_<version>_<arch>.deb
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "VelmorServer developers <developers@velmorserver.org>")
# Each package's description is its summary line, then the rest.
set(CPACK_DEBIAN_SERVER_DESCRIPTION "server for a community of game clients
VelmorServer lets game clients log in as guests or members, see the
live rooms, create and enter rooms, chat, follow rooms as channels, keep small
files in rooms and share their live position in navigation rooms. It runs as a
systemd service (velmorserver.service) and comes with velmor-chat, an
interactive terminal client, and velmor-probe, a one-shot probe.")
set(VELMOR_CLIENT_LIBRARY_TEXT "libvelmorclient lets a game speak VelmorServer's protocol over TCP or TLS
from its frame loop: requests are functions, what the server sends comes
as plain event structs, and the login proof is computed inside. Its C
interface keeps a stable ABI.")
set(CPACK_DEBIAN_CLIENTLIB_DESCRIPTION "C client library for VelmorServer
${VELMOR_CLIENT_LIBRARY_TEXT}")
set(CPACK_DEBIAN_CLIENTDEV_DESCRIPTION "C client library for VelmorServer (development files)
${VELMOR_CLIENT_LIBRARY_TEXT}
.
This package holds the header, the pkg-config file (velmorclient) and an
example bot.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME velmorserver)
set(CPACK_DEBIAN_CLIENTLIB_PACKAGE_NAME libvelmorclient0)
set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_NAME libvelmorclient-dev)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLIENTLIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_DEPENDS "libvelmorclient0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${VELMOR_PACKAGING_OUT}/conffiles)
set(CPACK_DEBIAN_CLIENTLIB_PACKAGE_CONTROL_EXTRA ${VELMOR_PACKAGING_OUT}/libvelmorclient0/symbols
    ${VELMOR_PACKAGING_OUT}/libvelmorclient0/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
