# The session process runner and the simulated processes it starts, with a
# child program of our own. The child sits beside the test executables so
# that the program-directory search finds it by bare name.
if(NOLVANE_WINSIM)
  set(winprocess_dir ${CMAKE_BINARY_DIR}/tests/winprocess)

  add_executable(winprocess_child ${CMAKE_CURRENT_LIST_DIR}/child_programs/winprocess_child.cpp)
  set_target_properties(winprocess_child PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${winprocess_dir})

  nolvane_add_test(winprocess_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/winprocess_test.cpp ${CMAKE_CURRENT_LIST_DIR}/winprocess_winsim_test.cpp
    LIBS nolvane_device nolvane_test_support winsim)
  # The one run that has to outlive the 10-second limit, kept apart so the
  # rest stays fast (`ctest -LE slow` leaves it out).
  nolvane_add_test(winprocess_timeout_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/winprocess_timeout_test.cpp
    LIBS nolvane_device nolvane_test_support winsim
    LABELS slow TIMEOUT 60)

  foreach(t winprocess_tests winprocess_timeout_tests)
    set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${winprocess_dir})
    target_compile_definitions(${t} PRIVATE WINPROCESS_CHILD="$<TARGET_FILE:winprocess_child>")
    add_dependencies(${t} winprocess_child)
  endforeach()
endif()
