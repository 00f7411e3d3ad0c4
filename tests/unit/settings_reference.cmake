# The settings reference, policy templates, .reg examples, trace profile and
# manifests against the code they repeat (host-side, native builds only).
if(NOT NOLVANE_WINSIM)
  return()
endif()
find_package(tinyxml2 REQUIRED)
nolvane_add_test(settings_reference_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_reference_test.cpp
  LIBS nolvane_settings_reference nolvane_logging tinyxml2::tinyxml2
  LABELS unit packaging)
target_compile_definitions(settings_reference_tests PRIVATE NOLVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
