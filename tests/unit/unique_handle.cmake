# The handle template needs no simulated machine, so it is tested on both.
nolvane_add_test(unique_handle_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/unique_handle_test.cpp
  LIBS nolvane_platform)
target_include_directories(unique_handle_tests PRIVATE ${CMAKE_SOURCE_DIR}/include)
