# The timeline picture of a scenario run: nolvane_sim draws it, rsvg-convert
# (Debian librsvg2-bin) renders it.
if(TARGET nolvane_sim)
  find_package(tinyxml2 REQUIRED)
  find_program(RSVG_CONVERT rsvg-convert REQUIRED)
  nolvane_add_test(timeline_render_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/timeline_render_test.cpp
    LIBS tinyxml2::tinyxml2
    LABELS scenario
    TIMEOUT 120)
  target_compile_definitions(timeline_render_tests PRIVATE
    NOLVANE_SIM="$<TARGET_FILE:nolvane_sim>"
    TIMELINE_SCENARIO="${CMAKE_CURRENT_LIST_DIR}/timeline_render.scn"
    RSVG_CONVERT="${RSVG_CONVERT}")
  add_dependencies(timeline_render_tests nolvane_sim)
endif()
