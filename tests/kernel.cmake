# The Linux video bindings against emulated kernel devices: the test program runs under
# umockdev-wrapper, which preloads umockdev's library so that the program's /sys and /dev access
# reaches the testbed that sim/umockdev builds. Skipped (exit 77) without the preload library.
find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

add_executable(tst_kernel_bindings tst_kernel_bindings.cpp support/emulatedbench.cpp support/emulatedbench.h)
target_link_libraries(tst_kernel_bindings PRIVATE
  deckctl_testsupport deckctl_sim_umockdev deckctl_sim deckctl_cli_lib deckctl_device Qt5::Test)
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

# Real V4L2 clients (v4l2-ctl, v4l2-compliance from v4l-utils) run as child processes of the test
# against its emulated nodes, with a preload library that keeps them within umockdev's table of
# emulated descriptors. The library is built without sanitizers: the clients are not.
add_library(fdcapshim MODULE fdcapshim.cpp)
get_property(DECKCTL_SHIM_OPTIONS DIRECTORY PROPERTY COMPILE_OPTIONS)
list(FILTER DECKCTL_SHIM_OPTIONS EXCLUDE REGEX "sanitize|omit-frame-pointer")
set_target_properties(fdcapshim PROPERTIES COMPILE_OPTIONS "${DECKCTL_SHIM_OPTIONS}" LINK_OPTIONS "")
target_link_libraries(fdcapshim PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(tst_kernel_bindings fdcapshim)
find_program(V4L2_CTL v4l2-ctl)
find_program(V4L2_COMPLIANCE v4l2-compliance)
target_compile_definitions(tst_kernel_bindings PRIVATE
  DECKCTL_FD_CAP_SHIM="$<TARGET_FILE:fdcapshim>"
  DECKCTL_V4L2_CTL="$<$<BOOL:${V4L2_CTL}>:${V4L2_CTL}>"
  DECKCTL_V4L2_COMPLIANCE="$<$<BOOL:${V4L2_COMPLIANCE}>:${V4L2_COMPLIANCE}>")
