# The background workers and the preview pipeline.
deckctl_add_qtest(tst_workers SOURCES tst_workers.cpp LIBS deckctl_workers deckctl_sim)
deckctl_add_qtest(tst_preview SOURCES tst_preview.cpp LIBS deckctl_workers deckctl_sim)
