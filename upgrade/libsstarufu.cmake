# The mass-storage transport: the platform interface, the bulk-only framing and its Linux binding
# (libudev listing, libusb transfers). A library of its own, so that the device layer's platform
# selection can link it without depending on the upgrade logic.
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
pkg_check_modules(MASS_STORAGE_UDEV REQUIRED IMPORTED_TARGET libudev)

add_library(deckctl_massstorage STATIC
  botframing.cpp botframing.h
  linuxmassstorage.cpp linuxmassstorage.h
  massstorage.h
)
target_include_directories(deckctl_massstorage PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(deckctl_massstorage
  PUBLIC Qt5::Core
  PRIVATE PkgConfig::LIBUSB PkgConfig::MASS_STORAGE_UDEV)

# The vendor protocol and the script runner.
target_sources(deckctl_upgrade PRIVATE libsstarufu.cpp libsstarufu.h)
target_link_libraries(deckctl_upgrade PUBLIC deckctl_massstorage)
