nolvane_add_test(control_handler_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/control_handler_test.cpp
  LIBS nolvane_host nolvane_test_support winsim_scm winsim_power winsim_etw winsim_kernel)
