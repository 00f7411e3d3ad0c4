# The simulated OS turning the display off and on by its video time-out.
nolvane_add_test(os_timer_physics_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_timer_physics_test.cpp
  LIBS nolvane_test_support winsim)
