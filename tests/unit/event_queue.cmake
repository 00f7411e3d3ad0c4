nolvane_add_test(event_queue_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/event_queue_test.cpp
  LIBS nolvane_events nolvane_test_support winsim)
