nolvane_add_test(engine_runner_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_runner_test.cpp
  LIBS nolvane_engine nolvane_test_support winsim)
# The parameters the service hands over to the runner.
nolvane_add_test(engine_runner_parameters_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_runner_parameters_test.cpp
  LIBS nolvane_engine)
