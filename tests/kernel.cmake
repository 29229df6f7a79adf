# The Linux video bindings against emulated kernel devices: the test program runs under
# umockdev-wrapper, which preloads umockdev's library so that the program's /sys and /dev access
# reaches the testbed that sim/umockdev builds. Skipped (exit 77) without the preload library.
find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

add_executable(tst_kernel_bindings tst_kernel_bindings.cpp)
target_link_libraries(tst_kernel_bindings PRIVATE deckctl_sim_umockdev deckctl_sim deckctl_device Qt5::Test)
add_test(NAME tst_kernel_bindings COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:tst_kernel_bindings>)

# Sanitizer options for a program under the wrapper:
# - the wrapper preloads umockdev ahead of the AddressSanitizer runtime, so AddressSanitizer must
#   not insist on coming first (verify_asan_link_order=0);
# - AddressSanitizer checks and creates every parent directory of an absolute log_path while it
#   starts, with stat() and mkdir() calls that reach umockdev's wrappers before those can work
#   (the program crashes before main). The reports therefore go to the same directory through a
#   relative log_path: the test runs in the report directory, and "asan" has no parent to create.
set(DECKCTL_KERNEL_TEST_ENV "")
foreach(assignment IN LISTS DECKCTL_TEST_ENV)
  if(assignment MATCHES "^ASAN_OPTIONS=")
    string(REPLACE "log_path=${DECKCTL_SANITIZER_REPORTS}/" "log_path=" assignment "${assignment}")
    string(APPEND assignment ":verify_asan_link_order=0")
  endif()
  list(APPEND DECKCTL_KERNEL_TEST_ENV "${assignment}")
endforeach()
file(MAKE_DIRECTORY ${DECKCTL_SANITIZER_REPORTS})
set_tests_properties(tst_kernel_bindings PROPERTIES
  ENVIRONMENT "${DECKCTL_KERNEL_TEST_ENV}" WORKING_DIRECTORY ${DECKCTL_SANITIZER_REPORTS}
  TIMEOUT 120 SKIP_RETURN_CODE 77)
