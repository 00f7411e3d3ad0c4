nolvane_add_test(timeout_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/timeout_test.cpp
  LIBS nolvane_state_machines nolvane_test_support)
