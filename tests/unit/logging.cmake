nolvane_add_test(logging_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/logging_test.cpp
  LIBS nolvane_logging nolvane_test_support winsim)
