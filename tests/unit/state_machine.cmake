nolvane_add_test(state_machine_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/state_machine_test.cpp
  LIBS nolvane_state_machines nolvane_common nolvane_test_support winsim_kernel winsim_etw)
