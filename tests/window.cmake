# The main window: camera list, hot-plug, opening and closing, preview (offscreen, virtual cameras).
deckctl_add_qtest(tst_window SOURCES tst_window.cpp LIBS deckctl_windowfixture deckctl_resources)
set_tests_properties(tst_window PROPERTIES ENVIRONMENT "${DECKCTL_GUI_TEST_ENV}" TIMEOUT 300)
