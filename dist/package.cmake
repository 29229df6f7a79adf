# The Debian package (`cpack -G DEB` in the build folder): everything `cmake --install` lays out,
# under /usr, with the shared libraries' packages as dependencies (dpkg-shlibdeps) and udev told
# about the rule when the package comes and goes.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deckctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Lumadeck)
set(CPACK_PACKAGE_CONTACT "Lumadeck support <support@lumadeck.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control and upgrade USB conference cameras")
set(CPACK_PACKAGE_DESCRIPTION
  "Lumadeck (deckctl) previews USB conference cameras, drives their settings, reads their versions, restores their factory settings and upgrades or repairs their firmware; deckctl-cli offers the same to scripts. A udev rule gives the logged-in user access to the cameras and to their boot stages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.lumadeck.com/support)
# The libraries the programs link, as the packages that hold them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The rule is read by udev; the session's access tags come from systemd-logind.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
