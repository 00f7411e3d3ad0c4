# The session daemon run as a child process on the simulated desktop, and the
# simulated desktop itself.
nolvane_add_test(daemon_commands_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_commands_test.cpp
  LIBS winsim_desktop winsim_devices winsim_kernel)
nolvane_add_test(daemon_overlay_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_overlay_test.cpp
  LIBS winsim_desktop winsim_devices winsim_kernel)
foreach(t daemon_commands_tests daemon_overlay_tests)
  if(TARGET ${t})
    target_compile_definitions(${t} PRIVATE DAEMON_PATH="$<TARGET_FILE:ostrel_service_daemon>")
    add_dependencies(${t} ostrel_service_daemon)
  endif()
endforeach()

nolvane_add_test(daemon_winsim_desktop_tests NATIVE_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_winsim_desktop_test.cpp
  LIBS winsim_desktop winsim_devices winsim_kernel)
