# What the user feels, on the simulated laptop with the real service and the
# daemon as child processes (scripts/bench runs it in full). Built beside
# nolvane_sim, where the daemon is. The test command runs a few cycles so it
# keeps building and working; its figures are not judged.
if(TARGET nolvane_laptop)
  add_executable(nolvane_user_latency
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/idle_cost.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/runner_ratio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/samples.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/table.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/user_cycles.cpp
    ${CMAKE_CURRENT_LIST_DIR}/user_latency/wake_probe.cpp)
  target_link_libraries(nolvane_user_latency PRIVATE nolvane_laptop nolvane_device)
  set_target_properties(nolvane_user_latency PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${NOLVANE_SIM_DIR})
  add_dependencies(nolvane_user_latency nolvane_sim)
  if(NOLVANE_BUILD_TESTS)
    add_test(NAME user_latency_short
      COMMAND nolvane_user_latency --returns 2 --inputs 1 --display-offs 3 --cycles 3 --runner-runs 5
              --idle-seconds 2 --no-goals)
    set_tests_properties(user_latency_short PROPERTIES TIMEOUT 180 LABELS bench)
  endif()
endif()
