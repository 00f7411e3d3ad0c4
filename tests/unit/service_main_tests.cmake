# The service main routine's pieces that stand alone, and the program entry.
nolvane_add_test(service_main_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_main_unit_test.cpp
  LIBS nolvane_host)
nolvane_add_test(service_main_output_directory_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_main_output_directory_test.cpp
  LIBS nolvane_host nolvane_test_support winsim)
nolvane_add_test(service_main_program_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_main_program_test.cpp
  LIBS nolvane_host winsim)
