# The Linux mass-storage binding and the upgrade protocol against emulated kernel devices: the
# boot stages appear as USB mass-storage devices (SCSI devices in sysfs, usbfs nodes that libusb
# drives). Runs under umockdev-wrapper like the video bindings (kernel.cmake); skipped (exit 77)
# without the preload library.
find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

add_executable(tst_kernel_upgrade tst_kernel_upgrade.cpp support/emulatedbench.cpp support/emulatedbench.h)
target_link_libraries(tst_kernel_upgrade PRIVATE deckctl_testsupport
  deckctl_sim_umockdev deckctl_sim deckctl_upgrade deckctl_massstorage deckctl_device Qt5::Test)
add_test(NAME tst_kernel_upgrade COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:tst_kernel_upgrade>)

# The same sanitizer options as for the video bindings (see kernel.cmake): AddressSanitizer must
# not insist on coming first, and its reports go to the report directory through a relative
# log_path, because an absolute one makes it create directories before umockdev can serve them.
set(DECKCTL_KERNEL_UPGRADE_TEST_ENV "")
foreach(assignment IN LISTS DECKCTL_TEST_ENV)
  if(assignment MATCHES "^ASAN_OPTIONS=")
    string(REPLACE "log_path=${DECKCTL_SANITIZER_REPORTS}/" "log_path=" assignment "${assignment}")
    string(APPEND assignment ":verify_asan_link_order=0")
  endif()
  list(APPEND DECKCTL_KERNEL_UPGRADE_TEST_ENV "${assignment}")
endforeach()
file(MAKE_DIRECTORY ${DECKCTL_SANITIZER_REPORTS})
set_tests_properties(tst_kernel_upgrade PROPERTIES
  ENVIRONMENT "${DECKCTL_KERNEL_UPGRADE_TEST_ENV}" WORKING_DIRECTORY ${DECKCTL_SANITIZER_REPORTS}
  TIMEOUT 120 SKIP_RETURN_CODE 77)
