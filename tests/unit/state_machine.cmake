# The property test builds some 1700 machines, each with its pause task: 16 s
# under ThreadSanitizer on an idle 2-core machine, past 120 s (the usual
# bound) when other builds share it. The bound only catches a hang.
nolvane_add_test(state_machine_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/state_machine_test.cpp
  LIBS nolvane_state_machines nolvane_common nolvane_test_support winsim_kernel winsim_etw
  TIMEOUT 400)
