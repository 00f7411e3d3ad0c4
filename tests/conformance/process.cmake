# Processes and pipes, plain Win32: built natively against winsim and with
# mingw-w64 for Wine. The child sits beside the test, in a directory of their
# own, where the program's own directory is searched first.
set(process_conformance_dir ${CMAKE_BINARY_DIR}/tests/process_conformance)
add_executable(process_conformance_child ${CMAKE_CURRENT_LIST_DIR}/process_conformance_child.cpp)
target_link_libraries(process_conformance_child PRIVATE nolvane_platform)
nolvane_add_test(process_conformance_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_conformance_test.cpp
  LIBS nolvane_platform LABELS conformance)
set_target_properties(process_conformance_child process_conformance_tests PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${process_conformance_dir})
add_dependencies(process_conformance_tests process_conformance_child)
