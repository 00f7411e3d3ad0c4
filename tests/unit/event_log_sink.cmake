nolvane_add_test(event_log_sink_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/event_log_sink_test.cpp
  LIBS nolvane_logging nolvane_test_support winsim_scm winsim_etw winsim_kernel)
