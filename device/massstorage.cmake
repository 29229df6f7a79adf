# The mass-storage transport: the platform interface, the bulk-only framing and its Linux binding
# (libudev listing, libusb transfers). A library of its own, so that programs and tests that only
# speak to boot-stage devices need not link the rest of the device layer.
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

add_library(deckctl_massstorage STATIC
  botframing.cpp botframing.h
  linuxmassstorage.cpp linuxmassstorage.h
  massstorage.h
)
target_include_directories(deckctl_massstorage PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(deckctl_massstorage
  PUBLIC Qt5::Core
  PRIVATE PkgConfig::LIBUSB PkgConfig::UDEV)
