nolvane_add_test(sensor_presence_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sensor_presence_test.cpp
  LIBS nolvane_engine nolvane_test_support winsim
  LABELS sim)
if(TARGET sensor_presence_tests)
  # Shares the sensor test helpers of the unit tests.
  target_include_directories(sensor_presence_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
endif()
