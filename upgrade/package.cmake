# The upgrade package: unpacking (libarchive), the presence and model checks, the clean-up.
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
target_sources(deckctl_upgrade PRIVATE
  folderremoval.cpp folderremoval.h
  package.cpp package.h
  zip7z.cpp zip7z.h
)
target_link_libraries(deckctl_upgrade PRIVATE PkgConfig::LIBARCHIVE)
