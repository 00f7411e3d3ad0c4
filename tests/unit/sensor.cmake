foreach(component api events connection)
  nolvane_add_test(sensor_${component}_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sensor_${component}_test.cpp
    LIBS nolvane_engine nolvane_test_support winsim)
endforeach()
