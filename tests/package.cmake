deckctl_add_qtest(tst_package SOURCES tst_package.cpp LIBS deckctl_upgrade)
