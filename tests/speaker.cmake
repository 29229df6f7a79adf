# The speaker volume against a private PulseAudio server that the wrapper script starts and stops.
# Skipped (exit 77) when PulseAudio is not installed.
add_executable(tst_speaker tst_speaker.cpp)
target_link_libraries(tst_speaker PRIVATE deckctl_device Qt5::Test)
add_test(NAME tst_speaker COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/with_pulseaudio.sh $<TARGET_FILE:tst_speaker>)
set_tests_properties(tst_speaker PROPERTIES ENVIRONMENT "${DECKCTL_TEST_ENV}" TIMEOUT 120 SKIP_RETURN_CODE 77)
