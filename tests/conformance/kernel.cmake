# Plain Win32: built natively against winsim and with mingw-w64 for Wine.
nolvane_add_test(kernel_conformance_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_conformance_test.cpp
  LIBS nolvane_platform LABELS conformance)
