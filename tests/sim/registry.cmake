# The simulated registry itself: return codes, notifications, ACLs.
nolvane_add_test(registry_winsim_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_winsim_test.cpp
  LIBS winsim
  LABELS sim registry)
