nolvane_add_test(winsim_kernel_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/winsim_kernel_test.cpp
  LIBS winsim_kernel)
