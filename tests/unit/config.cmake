nolvane_add_test(config_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_unit_test.cpp
  LIBS nolvane_config
  LABELS unit config)
nolvane_add_test(output_directory_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/output_directory_test.cpp
  LIBS nolvane_config nolvane_test_support winsim)
