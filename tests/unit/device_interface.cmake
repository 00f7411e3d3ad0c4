# The device interface against a scripted stand-in for the daemon. The
# stand-in is built as "ostrel_service_daemon" into the test's own
# directory, where the device interface looks for the daemon.
if(NOLVANE_WINSIM)
  set(device_unit_dir ${CMAKE_BINARY_DIR}/tests/device_interface)
  add_executable(device_interface_fake_daemon ${CMAKE_CURRENT_LIST_DIR}/device_interface_fake_daemon.cpp)
  set_target_properties(device_interface_fake_daemon PROPERTIES
    OUTPUT_NAME ostrel_service_daemon RUNTIME_OUTPUT_DIRECTORY ${device_unit_dir})

  nolvane_add_test(device_interface_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_interface_test.cpp
    LIBS nolvane_device nolvane_test_support winsim)
  set_target_properties(device_interface_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${device_unit_dir})
  add_dependencies(device_interface_tests device_interface_fake_daemon)
endif()

# The watcher's pause policy: plain logic, for both platforms.
nolvane_add_test(activity_backoff_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/activity_backoff_test.cpp
  LIBS nolvane_device)
