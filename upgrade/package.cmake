target_sources(deckctl_upgrade PRIVATE package.cpp package.h zip7z.cpp zip7z.h)
