# The camera's loudspeaker volume, set through the sound server (libpulse: PulseAudio or PipeWire's
# pulse server).
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
target_sources(deckctl_device PRIVATE speakervolume.cpp speakervolume.h pulsesoundserver.cpp pulsesoundserver.h)
target_link_libraries(deckctl_device PUBLIC PkgConfig::PULSE)
