# The Debian package, built by CPack from the release build: `cpack -G DEB` in build/release
# (scripts/package.sh). Everything `cmake --install` installs goes into one package,
# zelk-test, installed under /usr; the programs find libpelmo through their RUNPATH.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelk-test)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zelk_test developers")
# A placeholder address until the project has a real one.
set(CPACK_PACKAGE_CONTACT "zelk_test developers <zelk-test@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://localhost/zelk_test")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CAN frame monitor with its message bus and companion")
set(CPACK_PACKAGE_DESCRIPTION
    "zelk_test is a desktop window that logs every frame on a CAN bus, counts
what is received and sent, filters by identifier and sends frames once or on
a timer. It comes with libpelmo, a small message-bus library with a
Unix-socket hub; zelk_tran, the companion that hosts the bus and bridges it
to SocketCAN, to a socketcand daemon or to a built-in virtual bus, serves
socketcand clients, and writes and replays candump logs; and the headless
tools zelk_dump, zelk_send and pelmo_hub.")
# Dependencies from dpkg-shlibdeps, plus what Qt loads at run time: the xcb platform plugin
# and the SVG image plugin for the window icon.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# libpelmo.so.1 is a public library: a shlibs file, and the ldconfig trigger (rather than
# CPack's generated shlibs, which come with maintainer scripts that call ldconfig).
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/shlibs.in ${CMAKE_BINARY_DIR}/deb/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/shlibs
                                       ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
