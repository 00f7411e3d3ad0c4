# The fault matrix: the whole service on the simulated laptop while one Win32
# call fails. The program runs each case as a child process of itself; the
# test suite runs the sample (each function's first call), scripts/fault-matrix
# every call. The daemon sits beside the program, where the service looks.
if(NOLVANE_WINSIM AND TARGET ostrel_service_daemon)
  set(fault_matrix_dir ${CMAKE_BINARY_DIR}/tests/fault_matrix)
  add_executable(service_fault_matrix_tests
    ${CMAKE_CURRENT_LIST_DIR}/service_fault_matrix_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/service_fault_case.cpp)
  target_link_libraries(service_fault_matrix_tests PRIVATE nolvane_host nolvane_test_support winsim nolvane_gtest)
  target_include_directories(service_fault_matrix_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  set_target_properties(service_fault_matrix_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${fault_matrix_dir})
  add_custom_command(TARGET service_fault_matrix_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:ostrel_service_daemon>
            ${fault_matrix_dir}/ostrel_service_daemon)
  add_dependencies(service_fault_matrix_tests ostrel_service_daemon)
  # The cases mostly wait on the dim time-out; four run at a time.
  add_test(NAME service_fault_matrix_sample COMMAND service_fault_matrix_tests)
  set_tests_properties(service_fault_matrix_sample PROPERTIES TIMEOUT 1500 LABELS "scenario;fault_matrix" PROCESSORS 2)
endif()
