nolvane_add_test(os_timer_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_timer_manager_test.cpp
  LIBS nolvane_device nolvane_test_support winsim)
