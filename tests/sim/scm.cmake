nolvane_add_test(scm_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scm_test.cpp
  LIBS winsim_scm winsim_power winsim_kernel)
