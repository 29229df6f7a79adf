# The mass-storage upgrade protocol, its script runner and the bulk-only transport against the
# virtual camera's boot stages.
deckctl_add_qtest(tst_mass_storage SOURCES tst_mass_storage.cpp LIBS deckctl_upgrade deckctl_sim)
