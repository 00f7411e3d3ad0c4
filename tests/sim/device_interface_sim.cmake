# The device interface against the built daemon on the simulated desktop.
# The test sits in a directory of its own with the daemon beside it, where
# the device interface looks for it.
if(NOLVANE_WINSIM AND TARGET ostrel_service_daemon)
  set(device_sim_dir ${CMAKE_BINARY_DIR}/tests/device_interface_sim)

  # Composes and runs a daemon command from wherever a test copies it.
  add_executable(device_interface_probe ${CMAKE_CURRENT_LIST_DIR}/child_programs/device_interface_probe.cpp)
  target_link_libraries(device_interface_probe PRIVATE nolvane_device)
  set_target_properties(device_interface_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${device_sim_dir})

  nolvane_add_test(device_interface_sim_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_interface_sim_test.cpp
    LIBS nolvane_device nolvane_test_support winsim)
  set_target_properties(device_interface_sim_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${device_sim_dir})
  add_custom_command(TARGET device_interface_sim_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:ostrel_service_daemon>
            ${device_sim_dir}/ostrel_service_daemon)
  target_compile_definitions(device_interface_sim_tests PRIVATE
    PROBE_PATH="$<TARGET_FILE:device_interface_probe>"
    FAKE_DAEMON_PATH="$<TARGET_FILE:device_interface_fake_daemon>")
  add_dependencies(device_interface_sim_tests ostrel_service_daemon device_interface_probe device_interface_fake_daemon)
endif()

