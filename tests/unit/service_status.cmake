nolvane_add_test(service_status_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_status_test.cpp
  LIBS nolvane_host nolvane_test_support winsim_scm winsim_etw winsim_kernel)
