# Every scenario in scenarios/ run by nolvane_sim: each fails when one of its
# expectations does not hold. And the scenario format itself.
if(TARGET nolvane_sim)
  file(GLOB scenario_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.scn)
  foreach(file IN LISTS scenario_files)
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME scenario_${name} COMMAND nolvane_sim ${file})
    set_tests_properties(scenario_${name} PROPERTIES TIMEOUT 120 LABELS scenario)
  endforeach()

  nolvane_add_test(scenario_format_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/scenario_format_test.cpp
    LIBS nolvane_scenario)
  target_compile_definitions(scenario_format_tests PRIVATE SCENARIO_DIR="${CMAKE_SOURCE_DIR}/scenarios")
endif()
