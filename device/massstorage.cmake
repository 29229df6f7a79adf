# The mass-storage transport: the platform interface and the bulk-only framing. A library of its
# own, so that programs and tests that only speak to boot-stage devices need not link the rest of
# the device layer. Its Linux binding (libudev listing, libusb transfers) is in linux.cmake.
add_library(deckctl_massstorage STATIC
  botframing.cpp botframing.h
  massstorage.h
)
target_include_directories(deckctl_massstorage PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(deckctl_massstorage PUBLIC Qt5::Core)
