deckctl_add_qtest(tst_package SOURCES tst_package.cpp ziptestutil.cpp ziptestutil.h LIBS deckctl_upgrade)
