# The main window: camera list, hot-plug, opening and closing, preview (offscreen, virtual cameras).
deckctl_add_qtest(tst_window SOURCES tst_window.cpp LIBS deckctl_windowfixture deckctl_resources)
set_tests_properties(tst_window PROPERTIES ENVIRONMENT "${DECKCTL_GUI_TEST_ENV}" TIMEOUT 300)

# The window's factory reset and firmware upgrade on virtual cameras.
deckctl_add_qtest(tst_window_upgrade SOURCES tst_window_upgrade.cpp LIBS deckctl_windowfixture)
set_tests_properties(tst_window_upgrade PROPERTIES ENVIRONMENT "${DECKCTL_GUI_TEST_ENV}" TIMEOUT 300)
