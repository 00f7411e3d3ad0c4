# The whole service on the simulated laptop, end to end. The test program
# sits in a directory of its own with the daemon beside it, where the
# service looks for it (the directory of its own program).
if(NOLVANE_WINSIM AND TARGET ostrel_service_daemon)
  set(service_scenario_dir ${CMAKE_BINARY_DIR}/tests/service_scenarios)
  nolvane_add_test(service_scenario_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_lifecycle_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/service_leave_test.cpp
    LIBS nolvane_host nolvane_test_support winsim
    LABELS scenario
    TIMEOUT 180)
  set_target_properties(service_scenario_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${service_scenario_dir})
  add_custom_command(TARGET service_scenario_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:ostrel_service_daemon>
            ${service_scenario_dir}/ostrel_service_daemon)
  add_dependencies(service_scenario_tests ostrel_service_daemon)
endif()
