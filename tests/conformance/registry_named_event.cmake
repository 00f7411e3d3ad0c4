# The registry and named events between processes, plain Win32: built natively
# against winsim and with mingw-w64 for Wine. Each test's child program sits
# beside it.
foreach(area registry named_event)
  add_executable(${area}_conformance_child ${CMAKE_CURRENT_LIST_DIR}/${area}_conformance_child.cpp)
  target_link_libraries(${area}_conformance_child PRIVATE nolvane_platform)
  nolvane_add_test(${area}_conformance_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${area}_conformance_test.cpp
    LIBS nolvane_platform LABELS conformance)
  set_target_properties(${area}_conformance_child ${area}_conformance_tests PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/conformance)
  add_dependencies(${area}_conformance_tests ${area}_conformance_child)
endforeach()
