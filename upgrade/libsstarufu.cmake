#The vendor protocol and the script runner.
target_sources(deckctl_upgrade PRIVATE libsstarufu.cpp libsstarufu.h)
    target_link_libraries(deckctl_upgrade PUBLIC deckctl_massstorage)
