# The real Windows programs under Wine: the service under Wine's service
# control manager, the daemon's command line, the overlay on a screen.
#
# Declaring a Wine test (any tests/wine/*.cmake; the function is in
# cmake/nolvane.cmake and declares nothing outside the mingw build):
#
#   nolvane_add_wine_test(<name> COMMAND <target | script> [args...]
#                         [SERIAL] [RESOURCE_LOCK <lock>...] [TIMEOUT <s>] [LABELS <label>...])
#
# - COMMAND starts with a cross-built target (run under Wine) or a bash script
#   (run with bash; it may source tests/wine/wine_lib.sh). Arguments may use
#   generator expressions, e.g. $<TARGET_FILE:nolvane_service>; a script hands
#   Unix paths to a Windows program as Z:\ paths with wine_lib.sh's windows_path.
# - Every test runs inside tests/wine/wine_session, which provides a fresh
#   prefix (WINEPREFIX), one persistent wineserver, an Xvfb screen with openbox
#   (DISPLAY) and the log of Wine's services (NOLVANE_WINE_SYSTEM_LOG).
#   scripts/test runs the whole mingw ctest inside one session; by hand:
#     tests/wine/wine_session build/mingw ctest --test-dir build/mingw -L wine
# - Each test gets an empty artefact directory, NOLVANE_WINE_ARTEFACTS =
#   <build>/wine-artefacts/<name>, kept after the run (screenshots, logs).
# - SERIAL: no other test runs beside it (anything that looks at the screen).
#   RESOURCE_LOCK nolvane_service_and_product_key: the test installs the
#   service or writes the product's registry keys (one of each per prefix);
#   such tests run one at a time.
# - Every Wine test carries the label "wine".

# The daemon's command line: natively against a simulated desktop set up as
# Wine's looks, cross-built under Wine; the same answers are expected.
if(NOLVANE_WINSIM)
  nolvane_add_test(daemon_cli_tests NATIVE_ONLY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_cli_test.cpp ${CMAKE_CURRENT_LIST_DIR}/daemon_cli_winsim.cpp
    LIBS winsim LABELS daemon)
else()
  add_executable(daemon_cli_tests
    ${CMAKE_CURRENT_LIST_DIR}/daemon_cli_test.cpp ${CMAKE_CURRENT_LIST_DIR}/daemon_cli_wine.cpp)
  target_link_libraries(daemon_cli_tests PRIVATE nolvane_gtest_main nolvane_platform)
  nolvane_add_wine_test(daemon_cli COMMAND daemon_cli_tests LABELS daemon)
endif()
target_compile_definitions(daemon_cli_tests PRIVATE DAEMON_PATH="$<TARGET_FILE:ostrel_service_daemon>")
add_dependencies(daemon_cli_tests ostrel_service_daemon)

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# The service under Wine's service control manager.
add_executable(scm_lifecycle_tests ${CMAKE_CURRENT_LIST_DIR}/scm_lifecycle_test.cpp)
target_link_libraries(scm_lifecycle_tests PRIVATE nolvane_gtest nolvane_platform)
target_include_directories(scm_lifecycle_tests PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests/support)
# Wine has no sensor manager; this stand-in lets the service's engine start.
add_library(sensor_manager_double SHARED ${CMAKE_CURRENT_LIST_DIR}/sensor_manager_double.cpp)
set_target_properties(sensor_manager_double PROPERTIES PREFIX "")
target_link_libraries(sensor_manager_double PRIVATE nolvane_platform uuid)
add_dependencies(scm_lifecycle_tests nolvane_service ostrel_service_daemon sensor_manager_double)
nolvane_add_wine_test(scm_lifecycle
  COMMAND scm_lifecycle_tests $<TARGET_FILE:nolvane_service> $<TARGET_FILE:ostrel_service_daemon>
          $<TARGET_FILE:sensor_manager_double>
  RESOURCE_LOCK nolvane_service_and_product_key)

# The dim overlay on the session's screen, looked at with xwd; alone, since
# it reads the whole screen.
add_executable(overlay_screen_helper ${CMAKE_CURRENT_LIST_DIR}/overlay_screen_helper.cpp)
target_link_libraries(overlay_screen_helper PRIVATE nolvane_platform)
add_dependencies(overlay_screen_helper ostrel_service_daemon)
nolvane_add_wine_test(overlay_screen
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/overlay_screen_test.sh
          $<TARGET_FILE:ostrel_service_daemon> $<TARGET_FILE:overlay_screen_helper>
  SERIAL)
