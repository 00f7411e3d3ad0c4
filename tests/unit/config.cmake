nolvane_add_test(config_unit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_unit_test.cpp
  LIBS nolvane_config
  LABELS unit config)
