# The installed tree: `cmake --install` into a DESTDIR (the fixture), then its files checked and
# validated with the desktop's own tools (tst_install).
set(DECKCTL_INSTALL_TEST_DIR ${CMAKE_BINARY_DIR}/install-test)
add_test(NAME install_tree_setup
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DECKCTL_INSTALL_TEST_DIR}
          ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix /usr)
set_tests_properties(install_tree_setup PROPERTIES FIXTURES_SETUP install_tree)
add_test(NAME install_tree_cleanup COMMAND ${CMAKE_COMMAND} -E rm -rf ${DECKCTL_INSTALL_TEST_DIR})
set_tests_properties(install_tree_cleanup PROPERTIES FIXTURES_CLEANUP install_tree)

deckctl_add_qtest(tst_install SOURCES tst_install.cpp LIBS deckctl_cli_lib deckctl_app Qt5::Gui)
add_dependencies(tst_install deckctl deckctl-cli deckctl_dist deckctl_translations)
target_compile_definitions(tst_install PRIVATE
  DECKCTL_INSTALL_ROOT="${DECKCTL_INSTALL_TEST_DIR}/usr"
  DECKCTL_VERSION="${PROJECT_VERSION}"
  DECKCTL_UDEV_RULE="${DECKCTL_UDEV_RULE_NAME}"
  DECKCTL_TRANSLATIONS_FROM_BIN="${DECKCTL_TRANSLATIONS_FROM_BIN}")
set_tests_properties(tst_install PROPERTIES FIXTURES_REQUIRED install_tree)

# The Debian package: cpack, dpkg-deb --info/--contents, and as root dpkg -i / dpkg -r.
add_test(NAME deb_package
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/deb_package.sh ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/deb-package-test)
set_tests_properties(deb_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 RUN_SERIAL TRUE
  ENVIRONMENT "${DECKCTL_TEST_ENV}")
