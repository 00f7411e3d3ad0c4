nolvane_add_test(pause_conditions_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pause_conditions_test.cpp
  LIBS nolvane_state_machines nolvane_test_support winsim_kernel winsim_etw)
