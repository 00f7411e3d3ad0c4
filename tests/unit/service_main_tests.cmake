# The program entry.
nolvane_add_test(service_main_program_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_main_program_test.cpp
  LIBS nolvane_host winsim)
