# The Linux mass-storage binding and the upgrade protocol against emulated kernel devices: the
# boot stages appear as USB mass-storage devices (SCSI devices in sysfs, usbfs nodes that libusb
# drives). Runs under umockdev-wrapper like the video bindings (kernel.cmake); skipped (exit 77)
# without the preload library.
find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

add_executable(tst_kernel_upgrade tst_kernel_upgrade.cpp support/emulatedbench.cpp support/emulatedbench.h)
target_link_libraries(tst_kernel_upgrade PRIVATE deckctl_testsupport
  deckctl_sim_umockdev deckctl_sim deckctl_cli_lib deckctl_mac deckctl_upgrade deckctl_massstorage deckctl_device Qt5::Test)
add_test(NAME tst_kernel_upgrade COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:tst_kernel_upgrade>)

# The same environment as the video bindings (DECKCTL_KERNEL_TEST_ENV, kernel.cmake): AddressSanitizer
# must not insist on coming first, and its reports go to the report directory through a relative
# log_path, because an absolute one makes it create directories before umockdev can serve them.
set_tests_properties(tst_kernel_upgrade PROPERTIES
  ENVIRONMENT "${DECKCTL_KERNEL_TEST_ENV}" WORKING_DIRECTORY ${DECKCTL_SANITIZER_REPORTS}
  TIMEOUT 120 SKIP_RETURN_CODE 77)

# deckctl-mac's camera control (LibusbBus) against the cameras' emulated usbfs nodes, with
# uvcvideo bound to their interfaces; also runs the built deckctl-mac under the same testbed.
add_executable(tst_kernel_mac tst_kernel_mac.cpp support/emulatedbench.cpp support/emulatedbench.h)
target_link_libraries(tst_kernel_mac PRIVATE deckctl_testsupport
  deckctl_sim_umockdev deckctl_sim deckctl_mac deckctl_device Qt5::Test)
add_test(NAME tst_kernel_mac COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:tst_kernel_mac>)
set_tests_properties(tst_kernel_mac PROPERTIES
  ENVIRONMENT "${DECKCTL_KERNEL_TEST_ENV}" WORKING_DIRECTORY ${DECKCTL_SANITIZER_REPORTS}
  TIMEOUT 120 SKIP_RETURN_CODE 77)
if(TARGET deckctl-mac)
  add_dependencies(tst_kernel_mac deckctl-mac)
  target_compile_definitions(tst_kernel_mac PRIVATE DECKCTL_MAC_PROGRAM="$<TARGET_FILE:deckctl-mac>")
else()
  target_compile_definitions(tst_kernel_mac PRIVATE DECKCTL_MAC_PROGRAM="")
endif()
