# Daemon query round trips; the built daemon sits beside the program, where
# the device interface looks for it.
if(NOLVANE_WINSIM AND TARGET ostrel_service_daemon)
  add_executable(winprocess_round_trip_bench ${CMAKE_CURRENT_LIST_DIR}/winprocess_round_trip_bench.cpp)
  target_link_libraries(winprocess_round_trip_bench PRIVATE nolvane_device winsim benchmark::benchmark)
  set_target_properties(winprocess_round_trip_bench PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench/winprocess)
  add_custom_command(TARGET winprocess_round_trip_bench POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:ostrel_service_daemon>
            ${CMAKE_BINARY_DIR}/bench/winprocess/ostrel_service_daemon)
  add_dependencies(winprocess_round_trip_bench ostrel_service_daemon)
endif()
