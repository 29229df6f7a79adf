# The Linux bindings of the device layer's platform interfaces: capture devices, their extension
# unit and standard controls through V4L2/UVC, camera arrival and removal through a udev monitor,
# the SCSI devices of USB mass storage (libudev listing, libusb transfers), and the loudspeaker
# volume through the sound server (libpulse: PulseAudio or PipeWire's pulse server). Left out of a
# DECKCTL_RAWUSB_ONLY build.
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)

add_library(deckctl_device_linux STATIC
  linuxhotplug.cpp linuxhotplug.h
  linuxmassstorage.cpp linuxmassstorage.h
  linuxvideobackend.cpp linuxvideobackend.h
  pulsesoundserver.cpp pulsesoundserver.h
)
target_link_libraries(deckctl_device_linux
  PUBLIC deckctl_device_base deckctl_massstorage deckctl_app Qt5::Core PkgConfig::UDEV PkgConfig::PULSE
  PRIVATE PkgConfig::LIBUSB)
